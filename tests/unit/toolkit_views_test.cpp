// Controls and their native parts.
#include "toolkit_fixture.h"

using ToolkitViews = ToolkitTest;

TEST_F(ToolkitViews, ButtonsTakeTheStandardHeightAndChangeInPlace) {
  CProbeWindow window;
  window.Open();
  auto* button = new CButton;
  button->Init(MakeRect(8, 156, 124, 0), 1002, 11, "Scan camera and more", 0);
  window.Register(button);
  button->Show();
  EXPECT_EQ(button->Rect.h, 24);
  EXPECT_STREQ(button->Text(), "Scan camera");

  const THeadlessNative* native = Headless.Native(button);
  ASSERT_NE(native, nullptr);
  EXPECT_TRUE(native->Shown);
  EXPECT_EQ(native->Text, "Scan camera");
  EXPECT_EQ(native->Rect.h, 24);

  button->Init(MakeRect(8, 150, 100, 30), 1003, 13, "Write Filters", 0);
  EXPECT_EQ(Headless.Native(button), native);  // the same native button, relabelled
  EXPECT_EQ(native->Text, "Write Filters");
  EXPECT_EQ(native->Rect.w, 100);
  EXPECT_EQ(native->Rect.h, 30);

  button->Press();
  button->Disable();
  EXPECT_FALSE(native->Enabled);
  button->Press();
  button->Enable();
  EXPECT_TRUE(native->Enabled);
  Background->Pump();
  EXPECT_EQ(window.Commands, (std::vector<std::uint32_t>{1003}));

  button->Done();
  button->Press();
  Background->Pump();
  EXPECT_EQ(window.Commands.size(), 1u);
  window.Close();
}

TEST_F(ToolkitViews, ChildOrderAndNativePartsFollowRegistration) {
  CProbeWindow window;
  auto* pane = new CView;
  auto* step = new CButton;
  auto* list = new CComboBox;
  pane->Init(MakeRect(8, 8, 256, 148));
  step->Init(MakeRect(8, 156, 124, 0), 1002, 11, "Scan camera", 0);
  step->Disable();
  list->Init(MakeRect(108, 101, 156, 0), 0, 0);
  list->AddItem(13, "Not installed", 0);
  list->AddItem(11, "5 positions", 0);
  list->ItemsAdded();
  list->SetSelected(2);
  // Built before the window has a native window: they get theirs with it.
  window.Register(pane);
  window.Register(step);
  window.RegisterFirst(list);
  pane->Show();
  list->Show();
  EXPECT_EQ(pane->Peer, nullptr);
  EXPECT_EQ(window.Children(), (std::vector<CView*>{list, pane, step}));

  window.Open();
  ASSERT_NE(Headless.Native(step), nullptr);
  EXPECT_FALSE(Headless.Native(step)->Enabled);
  EXPECT_FALSE(Headless.Native(step)->Shown);
  EXPECT_EQ(Headless.Native(list)->Selected, 2);
  EXPECT_EQ(Headless.Native(list)->ItemsChanges, 1);
  EXPECT_TRUE(Headless.Native(pane)->Shown);
  EXPECT_EQ(Headless.Native(pane)->Rect.w, 256);

  // On a live window a view registered behind the others is sent back.
  auto* next = new CButton;
  next->Init(MakeRect(140, 156, 124, 0), 1003, 7, "Next ->", 0);
  window.Register(next);
  auto* wheel = new CComboBox;
  wheel->Init(MakeRect(108, 125, 156, 0), 0, 0);
  window.RegisterFirst(wheel);
  EXPECT_EQ(Headless.Native(next)->SentToBack, 1);
  EXPECT_EQ(Headless.Native(wheel)->SentToBack, 0);
  EXPECT_EQ(window.Children(), (std::vector<CView*>{wheel, list, pane, step, next}));

  window.Unregister(step);
  EXPECT_EQ(step->Parent, nullptr);
  EXPECT_EQ(Headless.Native(step), nullptr);
  window.Register(step);
  EXPECT_EQ(window.Children().back(), step);
  window.Close();
  EXPECT_TRUE(step->Ended && pane->Ended && list->Ended && next->Ended && wheel->Ended);
}

TEST_F(ToolkitViews, AnEndedControlStaysReadableUntilTheBackgroundEnds) {
  CProbeWindow window;
  window.Open();
  auto* button = new CButton;
  button->Init(MakeRect(8, 156, 124, 0), 1002, 11, "Scan camera", 0);
  window.Register(button);
  button->Show();
  button->Done();
  button->Done();
  EXPECT_TRUE(button->Ended);
  EXPECT_EQ(button->Parent, nullptr);
  EXPECT_TRUE(window.Children().empty());
  EXPECT_EQ(Headless.Native(button), nullptr);
  // The program keeps the stale pointer; using it must stay harmless.
  EXPECT_STREQ(button->Text(), "Scan camera");
  button->InvalidateView();
  button->Show();
  window.Register(button);
  EXPECT_TRUE(window.Children().empty());
  window.Close();
  // Freed by the fixture's Background->Done(); the sanitizers watch that.
}

TEST_F(ToolkitViews, ListItemsCountFromOneAndBadSelectionsSelectNothing) {
  CProbeWindow window;
  window.Open();
  auto* list = new CComboBox;
  list->Init(MakeRect(108, 101, 156, 0), 0, 0);
  EXPECT_EQ(list->Rect.h, 24);
  window.RegisterFirst(list);
  list->AddItem(11, "5 positions", 0);
  list->AddItem(4, "12 positions", 0);
  list->AddItem(99, "IFW\0hidden", 0);
  list->AddItem(-1, "none", 0);
  list->AddItem(300, std::string(300, 'x').c_str(), 0);
  list->ItemsAdded();
  ASSERT_EQ(list->ItemCount(), 5);
  EXPECT_STREQ(list->Item(1), "5 positions");
  EXPECT_STREQ(list->Item(2), "12 p");
  EXPECT_STREQ(list->Item(3), "IFW");
  EXPECT_STREQ(list->Item(4), "");
  EXPECT_EQ(std::string(list->Item(5)), std::string(255, 'x'));
  EXPECT_EQ(list->Item(0), nullptr);
  EXPECT_EQ(list->Item(6), nullptr);

  list->SetSelected(5);
  EXPECT_EQ(list->GetSelected(), 5);
  for (std::int32_t index : {0, 6, -1}) {
    list->SetSelected(2);
    list->SetSelected(index);
    EXPECT_EQ(list->GetSelected(), 0) << index;
    EXPECT_EQ(Headless.Native(list)->Selected, 0);
  }

  list->Pick(3);
  EXPECT_EQ(list->GetSelected(), 3);
  list->Pick(9);
  EXPECT_EQ(list->GetSelected(), 3);
  list->Disable();
  list->Pick(1);
  EXPECT_EQ(list->GetSelected(), 3);
  window.Close();
}

TEST_F(ToolkitViews, EndingTheWindowEndsItsChildrenAndViewsAddedLaterHaveNoNativePart) {
  CProbeWindow window;
  window.Open();
  auto* pane = new CView;
  pane->Init(MakeRect(8, 8, 256, 148));
  window.Register(pane);
  pane->Show();
  pane->InvalidateView();
  pane->InvalidateView();
  EXPECT_EQ(Headless.Invalidations(pane), 2);
  window.WhileDeleting = [&] { EXPECT_NE(Headless.Native(pane), nullptr); };
  window.Close();
  EXPECT_TRUE(pane->Ended);
  EXPECT_EQ(Headless.Invalidations(pane), 0);

  // A control made for a closed window.
  auto* button = new CButton;
  button->Init(MakeRect(8, 156, 124, 0), 1002, 11, "Scan camera", 0);
  window.Register(button);
  button->Show();
  EXPECT_TRUE(window.Children().empty());
  EXPECT_EQ(button->Peer, nullptr);
  delete button;
}
