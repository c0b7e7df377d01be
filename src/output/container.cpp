#include "output/container.h"

#include <system_error>

namespace noctra {

std::string ContainerStatus::reason() const {
  return error != 0 ? std::generic_category().message(error) : detail;
}

ContainerStatus ContainerStatus::open_failed(int error, std::string file) {
  return {ContainerFailure::Open, error, {}, std::move(file)};
}

ContainerStatus ContainerStatus::stream_not_created(int error) {
  return {ContainerFailure::Stream, error, {}, {}};
}

ContainerStatus ContainerStatus::format_refused() { return {ContainerFailure::Format, 0, {}, {}}; }

ContainerStatus ContainerStatus::write_failed(int error, std::string file, std::string detail) {
  return {ContainerFailure::Write, error, std::move(detail), std::move(file)};
}

ContainerStatus ContainerStatus::refused(std::string detail) {
  return {ContainerFailure::Refused, 0, std::move(detail), {}};
}

}  // namespace noctra
