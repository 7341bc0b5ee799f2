// Views and controls. A view keeps its whole state itself and pushes it to its
// native part, which may come and go (a window's native window is made after
// the program has built its controls, and destroyed before it ends them).
#include <algorithm>

#include "toolkit_core.h"

namespace {

// Button labels and list items.
constexpr std::int32_t ItemCapacity = 255;

std::vector<CView*>& Graveyard() {
  static std::vector<CView*> graveyard;
  return graveyard;
}

std::vector<char> CopyText(std::int32_t length, const char* text) {
  std::vector<char> buffer(ItemCapacity + 1);
  const std::int32_t n = Str::CopyA(ItemCapacity, buffer.data(), length, text);
  buffer.resize(static_cast<std::size_t>(n) + 1);
  return buffer;
}

// The native window that the view's native part goes into, or null when there
// is none yet (or any more).
CWindowPeer* NativeParent(const CView* view) {
  if (view->Ended) {
    return nullptr;
  }
  CWindow* owner = view->OwnerWindow();
  return owner != nullptr && owner != view ? owner->WindowPeer : nullptr;
}

}  // namespace

void BuryView(CView* view) {
  Graveyard().push_back(view);
}

void ExhumeView(CView* view) {
  std::erase(Graveyard(), view);
}

void FreeEndedViews() {
  std::vector<CView*> dead;
  dead.swap(Graveyard());
  for (CView* view : dead) {
    delete view;
  }
}

// ---------------------------------------------------------------------------

CView::CView() = default;

CView::~CView() {
  if (Ended) {
    ExhumeView(this);
  }
  if (Parent != nullptr) {
    Parent->Unregister(this);
  }
  CView::Unrealize();
}

void CView::Init(const CRect& rect) {
  Rect = rect;
  if (Peer != nullptr) {
    Peer->SetRect(Rect);
  }
}

void CView::Show() {
  Visible = true;
  if (Peer != nullptr) {
    Peer->Show();
  }
}

void CView::InvalidateView() {
  if (Peer != nullptr) {
    Peer->Invalidate();
  }
}

void CView::Done() {
  if (Ended) {
    return;
  }
  Unrealize();
  Ended = true;
  if (Parent != nullptr) {
    Parent->Unregister(this);
  }
  BuryView(this);
}

void CView::PaintView(CDeviceContext& dc) {
  dc.FillArea(0, 0, Rect.w, Rect.h);
}

CWindow* CView::OwnerWindow() const {
  for (const CView* view = this; view != nullptr; view = view->Parent) {
    if (auto* window = dynamic_cast<const CWindow*>(view)) {
      return const_cast<CWindow*>(window);
    }
  }
  return nullptr;
}

void CView::Realize() {
  CWindowPeer* parent = Peer == nullptr ? NativeParent(this) : nullptr;
  if (parent == nullptr) {
    return;
  }
  Peer = Peers()->NewViewPeer(this, parent);
  if (Peer == nullptr) {
    return;
  }
  Peer->SetRect(Rect);
  if (Visible) {
    Peer->Show();
  }
}

void CView::Unrealize() {
  delete Peer;
  Peer = nullptr;
}

// ---------------------------------------------------------------------------

CNodeView::~CNodeView() {
  for (CView* child : ChildList) {
    child->Parent = nullptr;
  }
  ChildList.clear();
}

void CNodeView::Register(CView* child) {
  Attach(child, false);
}

void CNodeView::RegisterFirst(CView* child) {
  Attach(child, true);
}

void CNodeView::Attach(CView* child, bool front) {
  if (child == nullptr || child == this || child->Ended || Ended || child->Parent == this) {
    return;
  }
  if (child->Parent != nullptr) {
    child->Parent->Unregister(child);
  }
  child->Parent = this;
  if (front) {
    ChildList.insert(ChildList.begin(), child);
  } else {
    ChildList.push_back(child);
  }
  const bool wasNative = child->Peer != nullptr;
  child->Realize();
  if (!front && !wasNative && child->Peer != nullptr) {
    child->Peer->SendToBack();
  }
}

void CNodeView::Unregister(CView* child) {
  const auto found = std::find(ChildList.begin(), ChildList.end(), child);
  if (found == ChildList.end()) {
    return;
  }
  ChildList.erase(found);
  child->Parent = nullptr;
  // A view outside every window has no native part.
  child->Unrealize();
}

void CNodeView::EndChildren() {
  while (!ChildList.empty()) {
    CView* child = ChildList.front();
    child->Done();
    // A Done override that does not reach CView::Done still leaves the list.
    if (!ChildList.empty() && ChildList.front() == child) {
      Unregister(child);
    }
  }
}

void CNodeView::Done() {
  if (Ended) {
    return;
  }
  EndChildren();
  CView::Done();
}

void CNodeView::Realize() {
  CView::Realize();
  RealizeChildren();
}

void CNodeView::RealizeChildren() {
  // Back to front, since each new native part starts in front of the others.
  const std::vector<CView*> children = ChildList;
  for (auto child = children.rbegin(); child != children.rend(); ++child) {
    (*child)->Realize();
  }
}

void CNodeView::Unrealize() {
  for (CView* child : std::vector<CView*>(ChildList)) {
    child->Unrealize();
  }
  CView::Unrealize();
}

// ---------------------------------------------------------------------------

void CButton::Init(const CRect& rect, std::uint32_t command, std::int32_t length, const char* text,
                   std::uint32_t) {
  Rect = rect;
  if (Rect.h == 0) {
    Rect.h = Peers()->StandardHeight(TControlKind::Button);
  }
  Cmd = command;
  Label = CopyText(length, text);
  if (Peer != nullptr) {
    Peer->SetRect(Rect);
    Peer->SetText(Text());
  }
}

void CButton::Enable() {
  Enabled = true;
  if (Peer != nullptr) {
    Peer->SetEnabled(true);
  }
}

void CButton::Disable() {
  Enabled = false;
  if (Peer != nullptr) {
    Peer->SetEnabled(false);
  }
}

void CButton::Press() {
  if (!Enabled || Ended) {
    return;
  }
  CWindow* owner = OwnerWindow();
  if (owner != nullptr) {
    owner->MakeEvent({EventKindCommand, Cmd});
  }
}

void CButton::Realize() {
  CWindowPeer* parent = Peer == nullptr ? NativeParent(this) : nullptr;
  if (parent == nullptr) {
    return;
  }
  Peer = Peers()->NewButtonPeer(this, parent);
  if (Peer == nullptr) {
    return;
  }
  Peer->SetRect(Rect);
  Peer->SetText(Text());
  Peer->SetEnabled(Enabled);
  if (Visible) {
    Peer->Show();
  }
}

// ---------------------------------------------------------------------------

void CComboBox::Init(const CRect& rect, std::uint32_t, std::uint32_t) {
  Rect = rect;
  if (Rect.h == 0) {
    Rect.h = Peers()->StandardHeight(TControlKind::ComboBox);
  }
  if (Peer != nullptr) {
    Peer->SetRect(Rect);
  }
}

void CComboBox::AddItem(std::int32_t length, const char* text, std::uint32_t) {
  Items.push_back(CopyText(length, text));
}

void CComboBox::ItemsAdded() {
  if (Peer != nullptr) {
    Peer->ItemsChanged();
    // A native list may lose its selection when its items are replaced.
    Peer->SetSelected(Selected);
  }
}

void CComboBox::SetSelected(std::int32_t index) {
  Selected = index >= 1 && index <= ItemCount() ? index : 0;
  if (Peer != nullptr) {
    Peer->SetSelected(Selected);
  }
}

const char* CComboBox::Item(std::int32_t index) const {
  if (index < 1 || index > ItemCount()) {
    return nullptr;
  }
  return Items[static_cast<std::size_t>(index) - 1].data();
}

void CComboBox::Enable() {
  Enabled = true;
  if (Peer != nullptr) {
    Peer->SetEnabled(true);
  }
}

void CComboBox::Disable() {
  Enabled = false;
  if (Peer != nullptr) {
    Peer->SetEnabled(false);
  }
}

void CComboBox::Pick(std::int32_t index) {
  if (!Enabled || Ended || index < 1 || index > ItemCount()) {
    return;
  }
  Selected = index;
}

void CComboBox::Realize() {
  CWindowPeer* parent = Peer == nullptr ? NativeParent(this) : nullptr;
  if (parent == nullptr) {
    return;
  }
  Peer = Peers()->NewComboPeer(this, parent);
  if (Peer == nullptr) {
    return;
  }
  Peer->SetRect(Rect);
  Peer->ItemsChanged();
  Peer->SetSelected(Selected);
  Peer->SetEnabled(Enabled);
  if (Visible) {
    Peer->Show();
  }
}
