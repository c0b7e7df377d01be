#pragma once
// The sequencer is made before the windows it reports to exist, and may
// outlive them at shut-down: it talks to the windows through this relay,
// which drops every call while no window is attached.

#include <string>

#include "app/sequencer_host.h"

namespace noctra {

class HostRelay : public SequencerHost {
 public:
  void attach(SequencerHost* target) { target_ = target; }

  void set_title(const std::string& title) override {
    if (target_) target_->set_title(title);
  }
  void set_ui_state(UiState state) override {
    if (target_) target_->set_ui_state(state);
  }
  void repaint_main() override {
    if (target_) target_->repaint_main();
  }
  void repaint_guide() override {
    if (target_) target_->repaint_guide();
  }
  void post_command(Command id) override {
    if (target_) target_->post_command(id);
  }
  void layout_if_idle() override {
    if (target_) target_->layout_if_idle();
  }
  void beep() override {
    if (target_) target_->beep();
  }

 private:
  SequencerHost* target_ = nullptr;
};

}  // namespace noctra
