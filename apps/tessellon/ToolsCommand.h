// `tessellon tools` and `tessellon about`: what the loaded modules offer.
#pragma once

#include <string>

namespace tessellon {

class Plugins;

// Prints every registered tool: class identifier, name, description, build
// text, parent class, tile bitmap, and its inputs and outputs with display
// names, data types and controls. With `tilePath`, writes the stitching
// tool's tile picture there (.bmp as the module keeps it; .png, .tif and
// the other output types through the image writer). Throws Error.
void RunTools(const Plugins& plugins, const std::string& tilePath);

// Presses the stitching tool's About button, as a compositor does when the
// user clicks it; the message box prints its caption and text.
void RunAbout(const Plugins& plugins);

}  // namespace tessellon
