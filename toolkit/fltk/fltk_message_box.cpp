// The modal message box: title, icon, three lines, OK.
#include <FL/Fl.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_RGB_Image.H>
#include <FL/fl_draw.H>
#include <FL/x.H>

#include <algorithm>
#include <array>
#include <cstdio>
#include <vector>

#include "fltk_peers.h"

namespace {

constexpr int Margin = 12;
constexpr int StockIconSize = 32;
constexpr int PictureSize = 48;
constexpr int OkWidth = 75;
constexpr int OkHeight = 24;
constexpr int MinimumWidth = 200;

const char* PictureName(PPicture icon) {
  if (icon == nullptr) {
    return "none";
  }
  switch (icon->Kind) {
    case TPicture::StockInfo:
      return "info";
    case TPicture::StockStop:
      return "stop";
    default:
      return "picture";
  }
}

// The stock pictures, drawn rather than shipped: a blue disc with an "i" and
// a red disc with a cross, as the platform's own boxes show them.
void DrawStockIcon(PPicture icon, int x, int y) {
  const bool stop = icon->Kind == TPicture::StockStop;
  fl_color(stop ? fl_rgb_color(0xC4, 0x2B, 0x1C) : fl_rgb_color(0x1E, 0x63, 0xC0));
  fl_pie(x, y, StockIconSize, StockIconSize, 0, 360);
  fl_color(FL_WHITE);
  if (stop) {
    fl_line_style(FL_SOLID | FL_CAP_ROUND, 4);
    fl_line(x + 10, y + 10, x + 21, y + 21);
    fl_line(x + 21, y + 10, x + 10, y + 21);
    fl_line_style(0);
  } else {
    fl_pie(x + 13, y + 6, 6, 6, 0, 360);
    fl_rectf(x + 14, y + 14, 4, 12);
  }
}

class CFltkBoxBody : public Fl_Widget {
 public:
  CFltkBoxBody(int x, int y, int w, int h, PPicture icon, const std::array<std::string, 3>& lines,
               int lineHeight)
      : Fl_Widget(x, y, w, h), Icon(icon), Lines(lines), LineHeight(lineHeight) {
    box(FL_FLAT_BOX);
  }

  int IconSize() const {
    if (Icon == nullptr) {
      return 0;
    }
    if (Icon->Kind == TPicture::Resource) {
      return FltkProgramIcon(PictureSize) != nullptr ? PictureSize : 0;
    }
    return StockIconSize;
  }

  int TextX() const {
    const int icon = IconSize();
    return Margin + (icon > 0 ? icon + Margin : 0);
  }

  void draw() override {
    draw_box();
    const int icon = IconSize();
    const int textHeight = LineHeight * static_cast<int>(Lines.size());
    const int content = std::max(icon, textHeight);
    if (icon > 0) {
      const int iconY = y() + Margin + (content - icon) / 2;
      if (Icon->Kind == TPicture::Resource) {
        const_cast<Fl_RGB_Image*>(FltkProgramIcon(PictureSize))->draw(x() + Margin, iconY);
      } else {
        DrawStockIcon(Icon, x() + Margin, iconY);
      }
    }
    const TFltkFont font = FltkFontOf(nullptr);
    fl_font(font.Face, font.Size);
    fl_color(FL_FOREGROUND_COLOR);
    int lineY = y() + Margin + (content - textHeight) / 2;
    for (const std::string& line : Lines) {
      fl_draw(line.c_str(), static_cast<int>(line.size()), x() + TextX(),
              lineY + (LineHeight - fl_height()) / 2 + fl_height() - fl_descent());
      lineY += LineHeight;
    }
  }

 private:
  PPicture Icon;
  std::array<std::string, 3> Lines;
  int LineHeight;
};

class CFltkMessageBox : public Fl_Double_Window, public CFltkDescribed {
 public:
  CFltkMessageBox(const char* title, const std::array<std::string, 3>& lines, PPicture icon)
      : Fl_Double_Window(0, 0, 1, 1),
        Title(FltkUtf8(title, std::char_traits<char>::length(title))),
        Lines(lines),
        Icon(icon) {
    const TFltkFont font = FltkFontOf(nullptr);
    fl_font(font.Face, font.Size);
    const int lineHeight = fl_height() + 4;
    int textWidth = 0;
    for (const std::string& line : Lines) {
      textWidth = std::max(textWidth, static_cast<int>(fl_width(line.c_str()) + 0.5));
    }
    Body = new CFltkBoxBody(0, 0, 1, 1, icon, Lines, lineHeight);
    const int content = std::max(Body->IconSize(), lineHeight * static_cast<int>(Lines.size()));
    const int bodyHeight = content + 2 * Margin;
    const int width =
        std::max({Body->TextX() + textWidth + Margin, OkWidth + 2 * Margin, MinimumWidth});
    const int height = bodyHeight + OkHeight + Margin;
    Body->resize(0, 0, width, bodyHeight);
    Ok = new Fl_Button((width - OkWidth) / 2, bodyHeight, OkWidth, OkHeight, "OK");
    // Return presses it, as in the platform's own boxes; Escape closes the box.
    Ok->shortcut(FL_Enter);
    Ok->labelfont(font.Face);
    Ok->labelsize(font.Size);
    Ok->callback(Close, this);
    end();
    size(width, height);
    size_range(width, height, width, height);
    copy_label(Title.c_str());
    callback(Close, this);
    set_modal();
  }

  void Describe(std::string& out, int indent) const override {
    // FLTK 1.3 asks for a mutable window even to tell whether it is shown.
    auto* self = const_cast<CFltkMessageBox*>(this);
    char line[96];
    std::snprintf(line, sizeof line, "%*sbox 0x%lx %d %d %d %d %s ", indent, "",
                  self->shown() ? static_cast<unsigned long>(fl_xid(self)) : 0UL, x(), y(), w(),
                  h(), PictureName(Icon));
    out += line + FltkQuoted(Title) + "\n";
    for (std::size_t i = 0; i < Lines.size(); ++i) {
      std::snprintf(line, sizeof line, "%*sboxline %zu ", indent + 2, "", i + 1);
      out += line + FltkQuoted(Lines[i]) + "\n";
    }
    std::snprintf(line, sizeof line, "%*sbutton %d %d %d %d enabled ", indent + 2, "", Ok->x(),
                  Ok->y(), Ok->w(), Ok->h());
    out += line + FltkQuoted("OK") + "\n";
  }

 private:
  static void Close(Fl_Widget*, void* data) { static_cast<CFltkMessageBox*>(data)->hide(); }

  std::string Title;
  std::array<std::string, 3> Lines;
  PPicture Icon;
  CFltkBoxBody* Body = nullptr;
  Fl_Button* Ok = nullptr;
};

}  // namespace

std::int32_t CFltkPeers::MessageBox(CWindow* owner, const char* title, const char* line1,
                                    const char* line2, const char* line3, PPicture icon) {
  EnsureDisplay();
  auto text = [](const char* line) {
    return FltkUtf8(line, line != nullptr ? std::char_traits<char>::length(line) : 0);
  };
  Fl_Group::current(nullptr);
  CFltkMessageBox box(title != nullptr ? title : "", {text(line1), text(line2), text(line3)}, icon);
  // Over the middle of its owner, else of the screen.
  Fl_Window* over = owner != nullptr ? FltkWindowOf(owner->WindowPeer) : nullptr;
  if (over != nullptr && over->shown()) {
    box.position(over->x() + (over->w() - box.w()) / 2, over->y() + (over->h() - box.h()) / 2);
  } else {
    box.position((Fl::w() - box.w()) / 2, (Fl::h() - box.h()) / 2);
  }
  std::vector<const Fl_RGB_Image*> icons;
  for (const int size : {16, 32}) {
    if (const Fl_RGB_Image* image = FltkProgramIcon(size); image != nullptr) {
      icons.push_back(image);
    }
  }
  box.icons(icons.data(), static_cast<int>(icons.size()));
  AddShown(&box, &box);
  box.show();
  // Device notifications still arrive in here; the program's queued events
  // wait for the handler that opened the box to return.
  while (box.shown()) {
    Wait(-1);
  }
  RemoveShown(&box);
  WriteSnapshot();
  return 1;
}
