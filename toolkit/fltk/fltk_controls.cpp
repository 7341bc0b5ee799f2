// Buttons, drop-down lists and custom-drawn views inside an FLTK window.
#include <FL/Fl.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Choice.H>
#include <FL/Fl_Menu_Item.H>
#include <FL/Fl_Window.H>
#include <FL/fl_draw.H>

#include <cstdio>
#include <vector>

#include "fltk_peers.h"

namespace {

std::string Bounds(const Fl_Widget* widget) {
  char text[64];
  std::snprintf(text, sizeof text, "%d %d %d %d", widget->x(), widget->y(), widget->w(),
                widget->h());
  return text;
}

std::string Indent(int indent) {
  return std::string(static_cast<std::size_t>(indent), ' ');
}

// Draws into the FLTK window at the view's origin. The toolkit places a text
// by its top-left corner; FLTK by its baseline.
class CFltkDrawPeer : public CDrawPeer {
 public:
  CFltkDrawPeer(int originX, int originY, std::vector<TFltkDrawn>* record)
      : OriginX(originX), OriginY(originY), Record(record) {
    const TGContext* context = GetPGContext(7);
    Font = context != nullptr ? context->TextFont : nullptr;
  }

  void FillArea(std::int32_t x, std::int32_t y, std::int32_t w, std::int32_t h) override {
    fl_color(FL_BACKGROUND_COLOR);
    fl_rectf(OriginX + x, OriginY + y, w, h);
    Keep({'f', x, y, w, h, false, 0, {}});
  }

  void SetPenColor(TColor color) override { Pen = color; }

  void DrawLine(std::int32_t x1, std::int32_t y1, std::int32_t x2, std::int32_t y2) override {
    fl_color(FltkColor(Pen));
    fl_line(OriginX + x1, OriginY + y1, OriginX + x2, OriginY + y2);
    Keep({'l', x1, y1, x2, y2, false, Pen, {}});
  }

  void WriteText(std::int32_t x, std::int32_t y, std::int32_t length, const char* text) override {
    const std::string utf8 = FltkUtf8(text, static_cast<std::size_t>(length));
    const TFltkFont font = FltkFontOf(Font);
    fl_font(font.Face, font.Size);
    fl_color(FL_FOREGROUND_COLOR);
    const int size = static_cast<int>(utf8.size());
    fl_draw(utf8.c_str(), size, OriginX + x, OriginY + y + fl_height() - fl_descent());
    const auto right = x + static_cast<std::int32_t>(fl_width(utf8.c_str(), size) + 0.5);
    Keep({'t', x, y, right, 0, Font != nullptr && Font->Bold, 0, utf8});
  }

  void SelectFont(TFont font) override { Font = font; }

 private:
  void Keep(TFltkDrawn drawn) {
    if (Record != nullptr) {
      Record->push_back(std::move(drawn));
    }
  }

  int OriginX;
  int OriginY;
  std::vector<TFltkDrawn>* Record;
  TFont Font;
  TColor Pen = 0;
};

class CFltkCanvas : public Fl_Widget, public CFltkDescribed {
 public:
  explicit CFltkCanvas(CView* view) : Fl_Widget(0, 0, 1, 1), View(view) { box(FL_NO_BOX); }

  void draw() override {
    std::vector<TFltkDrawn>* record = FltkPeers()->Recording() ? &Drawn : nullptr;
    Drawn.clear();
    fl_push_clip(x(), y(), w(), h());
    CFltkDrawPeer peer(x(), y(), record);
    CDeviceContext dc(&peer);
    View->PaintView(dc);
    fl_pop_clip();
  }

  // The pane takes no input: clicks and keys go to the window.
  int handle(int) override { return 0; }

  void Describe(std::string& out, int indent) const override {
    out += Indent(indent) + "view " + Bounds(this) + "\n";
    FltkDescribeDrawn(Drawn, out, indent + 2);
  }

 private:
  CView* View;
  std::vector<TFltkDrawn> Drawn;
};

class CFltkButton : public Fl_Button, public CFltkDescribed {
 public:
  explicit CFltkButton(CButton* button) : Fl_Button(0, 0, 1, 1), Button(button) {
    const TFltkFont font = FltkFontOf(nullptr);
    labelfont(font.Face);
    labelsize(font.Size);
    callback(Pressed, this);
  }

  void SetLabel(const char* text) {
    Text = FltkUtf8(text, text != nullptr ? std::char_traits<char>::length(text) : 0);
    copy_label(FltkLiteralLabel(text).c_str());
  }

  void Describe(std::string& out, int indent) const override {
    out += Indent(indent) + "button " + Bounds(this) + (active() ? " enabled " : " disabled ") +
           FltkQuoted(Text) + "\n";
  }

 private:
  static void Pressed(Fl_Widget*, void* data) { static_cast<CFltkButton*>(data)->Button->Press(); }

  CButton* Button;
  std::string Text;
};

class CFltkChoice : public Fl_Choice, public CFltkDescribed {
 public:
  explicit CFltkChoice(CComboBox* combo) : Fl_Choice(0, 0, 1, 1), Combo(combo) {
    const TFltkFont font = FltkFontOf(nullptr);
    textfont(font.Face);
    textsize(font.Size);
    when(FL_WHEN_CHANGED);
    callback(Picked, this);
  }

  ~CFltkChoice() override { menu(nullptr); }
  CFltkChoice(const CFltkChoice&) = delete;
  CFltkChoice& operator=(const CFltkChoice&) = delete;

  void Reload() {
    // FLTK keeps pointers into both vectors until the next menu().
    menu(nullptr);
    Texts.clear();
    for (std::int32_t i = 1; i <= Combo->ItemCount(); ++i) {
      Texts.push_back(FltkLiteralLabel(Combo->Item(i)));
    }
    Items.assign(Texts.size() + 1, Fl_Menu_Item{});
    for (std::size_t i = 0; i < Texts.size(); ++i) {
      Items[i].text = Texts[i].c_str();
    }
    menu(Items.data());
  }

  // Items count from 1 in the toolkit, from 0 here; 0 there is no selection.
  void Select(std::int32_t index) {
    if (index >= 1 && index <= static_cast<std::int32_t>(Texts.size())) {
      value(index - 1);
    } else {
      value(static_cast<const Fl_Menu_Item*>(nullptr));
    }
  }

  void Describe(std::string& out, int indent) const override {
    const int selected = value();
    char text[48];
    std::snprintf(text, sizeof text, " %s %d/%zu ", active() ? "enabled" : "disabled", selected + 1,
                  Texts.size());
    const char* shown = selected >= 0 ? Combo->Item(selected + 1) : nullptr;
    out +=
        Indent(indent) + "choice " + Bounds(this) + text +
        FltkQuoted(FltkUtf8(shown, shown != nullptr ? std::char_traits<char>::length(shown) : 0)) +
        "\n";
  }

 private:
  static void Picked(Fl_Widget*, void* data) {
    auto* self = static_cast<CFltkChoice*>(data);
    self->Combo->Pick(self->value() + 1);
  }

  CComboBox* Combo;
  std::vector<std::string> Texts;
  std::vector<Fl_Menu_Item> Items;
};

// What the three kinds of native parts share: a widget in the window's child
// list, made hidden, whose front-to-back place follows the toolkit's.
template <class TWidget>
class CFltkControlPeer : public CViewPeer {
 public:
  CFltkControlPeer(TWidget* widget, Fl_Window* window) : Widget(widget), Tracker(widget) {
    Widget->clear_visible();
    // The last child is drawn last and asked first for input: the front.
    window->add(Widget);
  }

  ~CFltkControlPeer() override {
    // The window may have taken its children along already.
    if (Tracker.deleted()) {
      return;
    }
    Fl_Window* window = Widget->window();
    if (Fl_Group* parent = Widget->parent(); parent != nullptr) {
      parent->remove(Widget);
    }
    FltkPeers()->RetireWidget(Widget);
    if (window != nullptr) {
      window->redraw();
    }
  }

  CFltkControlPeer(const CFltkControlPeer&) = delete;
  CFltkControlPeer& operator=(const CFltkControlPeer&) = delete;

  void Show() override {
    if (!Tracker.deleted()) {
      Widget->show();
      RedrawWindow();
    }
  }

  void SetEnabled(bool enabled) override {
    if (Tracker.deleted()) {
      return;
    }
    if (enabled) {
      Widget->activate();
    } else {
      Widget->deactivate();
    }
  }

  // Redrawing one widget would paint the pane over the lists that lie on it:
  // the whole (small) window is drawn again, back to front.
  void Invalidate() override { RedrawWindow(); }

  void SetRect(const CRect& rect) override {
    if (!Tracker.deleted()) {
      Widget->resize(rect.x, rect.y, rect.w, rect.h);
      RedrawWindow();
    }
  }

  void SendToBack() override {
    if (!Tracker.deleted() && Widget->parent() != nullptr) {
      Widget->parent()->insert(*Widget, 0);
      RedrawWindow();
    }
  }

 protected:
  void RedrawWindow() {
    if (!Tracker.deleted()) {
      if (Fl_Window* window = Widget->window(); window != nullptr) {
        window->redraw();
      }
    }
  }

  TWidget* Widget;
  Fl_Widget_Tracker Tracker;
};

class CFltkViewPeer : public CFltkControlPeer<CFltkCanvas> {
 public:
  using CFltkControlPeer::CFltkControlPeer;
};

class CFltkButtonPeer : public CFltkControlPeer<CFltkButton> {
 public:
  using CFltkControlPeer::CFltkControlPeer;

  void SetText(const char* text) override {
    if (!Tracker.deleted()) {
      Widget->SetLabel(text);
      RedrawWindow();
    }
  }
};

class CFltkComboPeer : public CFltkControlPeer<CFltkChoice> {
 public:
  using CFltkControlPeer::CFltkControlPeer;

  void ItemsChanged() override {
    if (!Tracker.deleted()) {
      Widget->Reload();
      RedrawWindow();
    }
  }

  void SetSelected(std::int32_t index) override {
    if (!Tracker.deleted()) {
      Widget->Select(index);
    }
  }
};

template <class TPeer, class TWidget, class TView>
CViewPeer* MakeControlPeer(TView* view, CWindowPeer* parent) {
  Fl_Window* window = FltkWindowOf(parent);
  if (window == nullptr) {
    return nullptr;
  }
  // The current group would adopt the new widget on its own.
  Fl_Group::current(nullptr);
  return new TPeer(new TWidget(view), window);
}

}  // namespace

CViewPeer* CFltkPeers::NewButtonPeer(CButton* button, CWindowPeer* parent) {
  return MakeControlPeer<CFltkButtonPeer, CFltkButton>(button, parent);
}

CViewPeer* CFltkPeers::NewComboPeer(CComboBox* combo, CWindowPeer* parent) {
  return MakeControlPeer<CFltkComboPeer, CFltkChoice>(combo, parent);
}

CViewPeer* CFltkPeers::NewViewPeer(CView* view, CWindowPeer* parent) {
  return MakeControlPeer<CFltkViewPeer, CFltkCanvas>(view, parent);
}
