#include "ui/sequencer_core.h"

namespace noctra {

SequencerCore::SequencerCore(Settings& settings, Sequencer& sequencer, CommandRouter& router,
                             std::function<void()> camera_idle, DeviceCatalog catalog)
    : settings_(settings),
      sequencer_(sequencer),
      camera_idle_(std::move(camera_idle)),
      catalog_(std::move(catalog)),
      router_(router) {}

std::vector<DeviceChoice> SequencerCore::list_sources() {
  return catalog_.sources ? catalog_.sources() : std::vector<DeviceChoice>{};
}

std::vector<DeviceChoice> SequencerCore::list_ports() {
  return catalog_.ports ? catalog_.ports() : std::vector<DeviceChoice>{};
}

bool SequencerCore::use_source(const std::string& spec, std::string* error) {
  if (catalog_.use_source && !catalog_.use_source(spec, error)) return false;
  settings_.source = spec;
  return true;
}

bool SequencerCore::use_port(const std::string& spec, std::string* error) {
  if (catalog_.use_port && !catalog_.use_port(spec, error)) return false;
  settings_.port = spec;
  return true;
}

}  // namespace noctra
