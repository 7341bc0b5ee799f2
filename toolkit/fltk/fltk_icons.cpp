// The program's icon, from the pixels embedded at build time.
#include <FL/Fl_RGB_Image.H>

#include <memory>
#include <vector>

#include "fltk_peers.h"

const Fl_RGB_Image* FltkProgramIcon(int size) {
  // Made on first use and kept: windows copy them, the About box draws one.
  static std::vector<std::unique_ptr<Fl_RGB_Image>> images(
      static_cast<std::size_t>(FltkIconDataCount));
  int chosen = -1;
  for (int i = 0; i < FltkIconDataCount; ++i) {
    const int candidate = FltkIconData[i].Size;
    const int best = chosen < 0 ? 0 : FltkIconData[chosen].Size;
    const bool fits = candidate >= size;
    const bool bestFits = chosen >= 0 && best >= size;
    if (chosen < 0 || (fits && (!bestFits || candidate < best)) ||
        (!fits && !bestFits && candidate > best)) {
      chosen = i;
    }
  }
  if (chosen < 0) {
    return nullptr;
  }
  auto& image = images[static_cast<std::size_t>(chosen)];
  if (!image) {
    const TFltkIconData& data = FltkIconData[chosen];
    image = std::make_unique<Fl_RGB_Image>(data.Rgba, data.Size, data.Size, 4);
  }
  return image.get();
}
