#pragma once
// The names a client may give the camera port and the video source: the
// same as [Hardware] Port= and Source= in the settings. Checked when the
// client sets them, so a typing error is reported at once and not only when
// the camera is connected.

#include <string>

namespace noctra::indi {

// Empty when the name has a form Noctra knows (auto, sim, ppdev:PATH,
// serial:PATH,..., ftdi[:SERIAL]; an empty name means auto), else the reason.
// Whether the device opens is only known on Connect.
std::string port_name_problem(const std::string& name);
// The same for auto, sim and v4l2:PATH.
std::string source_name_problem(const std::string& name);

}  // namespace noctra::indi
