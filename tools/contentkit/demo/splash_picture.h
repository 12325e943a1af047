// The launcher's splash picture with the game's name: the framed panel of
// makeSplash with a title set in DejaVu Sans Bold across its middle. The
// launcher cuts pure white out of the picture, so the text and its shadow
// keep off white. A pure function of its arguments; any thread.
#pragma once

#include <string>

#include "tools/contentkit/formats/image.h"

namespace contentkit {

// False with a message when the font cannot be rasterised or the title does
// not fit the panel.
bool makeTitledSplash(int width, int height, const std::string& title, Image* out, std::string* error);

}  // namespace contentkit
