// The floors of the start-up benchmark: an FLTK window of pelwin's size and
// nothing else, built with the same compiler, flags and FLTK. With --text it
// also draws one line of text, which brings in the font stack (fontconfig,
// Xft, FreeType) that any window with words in it pays for.
#include <FL/Fl.H>
#include <FL/Fl_Box.H>
#include <FL/Fl_Double_Window.H>

#include <cstring>
#include <optional>

int main(int argc, char** argv) {
  Fl_Double_Window window(100, 100, 272, 188, "bare");
  std::optional<Fl_Box> line;
  if (argc > 1 && std::strcmp(argv[1], "--text") == 0) {
    line.emplace(8, 8, 256, 20, "Connect camera and click [Scan camera] button");
    line->align(FL_ALIGN_INSIDE | FL_ALIGN_LEFT);
    line->labelsize(11);
  }
  window.end();
  window.show();
  return Fl::run();
}
