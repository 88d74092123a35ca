#pragma once

#include <string>

namespace morvex {

// Prepares the process for OpenGL without a window, before the Qt
// application is made: the "offscreen" platform unless another one was
// chosen, and, where no X display is set, a private virtual one (Xvfb, on
// a display number it picks itself), which Mesa's software renderer draws
// on. The virtual display ends with the process. False with a reason when
// no display can be had; Qt may still find a way then.
bool prepareRenderingDisplay(std::string& error);

// Keeps the OpenGL driver libraries that are loaded now in memory until the
// process ends. Mesa unloads its driver when the last context goes, and a
// leak report at exit (the sanitizer builds) could then not tell the
// driver's own allocations from ours; those are listed as the driver's.
void keepGraphicsDriversLoaded();

} // namespace morvex
