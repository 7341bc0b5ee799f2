// The floors of the start-up benchmark: an FLTK window of pelwin's size and
// nothing else, built with the same compiler, flags and FLTK. With --text it
// also draws one line of text, which brings in the font stack (fontconfig,
// Xft, FreeType) that any window with words in it pays for, at its first
// paint. With --layout it measures that line before it shows the window, as
// a window that sizes its controls to their text must: the font stack is then
// loaded before the map, as in pelwin.
#include <FL/Fl.H>
#include <FL/Fl_Box.H>
#include <FL/Fl_Double_Window.H>
#include <FL/fl_draw.H>

#include <cstring>
#include <optional>

int main(int argc, char** argv) {
  const bool layout = argc > 1 && std::strcmp(argv[1], "--layout") == 0;
  const bool text = layout || (argc > 1 && std::strcmp(argv[1], "--text") == 0);
  Fl_Double_Window window(100, 100, 272, 188, "bare");
  std::optional<Fl_Box> line;
  if (text) {
    line.emplace(8, 8, 256, 20, "Connect camera and click [Scan camera] button");
    line->align(FL_ALIGN_INSIDE | FL_ALIGN_LEFT);
    line->labelsize(11);
  }
  if (layout) {
    fl_open_display();
    int width = 0;
    int height = 0;
    line->measure_label(width, height);
    line->size(width, height);
  }
  window.end();
  window.show();
  return Fl::run();
}
