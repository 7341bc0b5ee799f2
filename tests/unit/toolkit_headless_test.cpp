// Drawing, fonts, message boxes and resources as the headless peer records them.
#include "toolkit_fixture.h"

namespace {

class CTextView : public CView {
 public:
  void PaintView(CDeviceContext& dc) override {
    CView::PaintView(dc);
    dc.SetPenColor(0x808080);
    dc.DrawLine(0, 38, Rect.w - 1, 38);
    dc.WriteText(0, 20, 5, "Connect camera");
    dc.WriteText(0, 30, 63, "Two\0lines");
    dc.WriteText(0, 40, -3, "negative");
    dc.WriteText(0, 50, 9, nullptr);
    dc.SelectFont(CaptionFont);
    dc.WriteText(0, 0, 63, "Step 1:");
  }
};

}  // namespace

using ToolkitHeadless = ToolkitTest;

TEST_F(ToolkitHeadless, PaintRecordsEveryCallWithTheTextAsDrawn) {
  CTextView view;
  view.Init(MakeRect(8, 8, 256, 148));
  const std::vector<THeadlessDraw> calls = Headless.Paint(&view);
  ASSERT_EQ(calls.size(), 8u);
  EXPECT_EQ(calls[0].Op, THeadlessDraw::Fill);
  EXPECT_EQ(calls[0].C, 256);
  EXPECT_EQ(calls[0].D, 148);
  EXPECT_EQ(calls[1].Color, 0x808080u);
  EXPECT_EQ(calls[2].Op, THeadlessDraw::Line);
  EXPECT_EQ(calls[2].C, 255);

  const TFont dialogFont = GetPGContext(7)->TextFont;
  EXPECT_EQ(calls[3].Text, "Conne");
  EXPECT_EQ(calls[3].FontUsed, dialogFont);
  EXPECT_EQ(calls[4].Text, "Two");
  EXPECT_EQ(calls[4].C, 3);
  EXPECT_EQ(calls[5].Op, THeadlessDraw::Write);  // negative length: nothing of it
  EXPECT_EQ(calls[5].Text, "");
  EXPECT_EQ(calls[6].Op, THeadlessDraw::Font);
  EXPECT_EQ(calls[7].Text, "Step 1:");
  EXPECT_EQ(calls[7].FontUsed, CaptionFont);
  EXPECT_EQ(calls[7].B, 0);
}

TEST_F(ToolkitHeadless, DialogContextFontsAndTextWidths) {
  const TGContext* context = GetPGContext(7);
  ASSERT_NE(context, nullptr);
  EXPECT_EQ(GetPGContext(6), nullptr);
  EXPECT_EQ(context->LineColor1, 0x808080u);
  EXPECT_EQ(context->LineColor2, 0xFFFFFFu);
  EXPECT_FALSE(context->TextFont->Bold);
  EXPECT_TRUE(CaptionFont->Bold);
  EXPECT_EQ(CaptionFont->Size, context->TextFont->Size);

  // 12 px at 60 percent: 7 px a character, bold one more.
  EXPECT_EQ(GetTextW(context->TextFont, 12, "Camera type:"), 84);
  EXPECT_EQ(GetTextW(CaptionFont, 12, "Camera type:"), 96);
  EXPECT_EQ(GetTextW(context->TextFont, 40, "Cam\0era"), 21);
  EXPECT_EQ(GetTextW(context->TextFont, -2, "Camera"), 0);
  Headless.CharWidthPercent = 1;
  EXPECT_EQ(GetTextW(context->TextFont, 3, "abc"), 3);

  CPeerFactory& base = Headless;
  EXPECT_EQ(base.CPeerFactory::TextWidth(context->TextFont, 10, "Next ->"), 49);
}

TEST_F(ToolkitHeadless, MessageBoxesGetTheirTextsCutToTheirLengths) {
  CProbeWindow window;
  window.Open();
  std::size_t openWhileCalled = 0;
  Headless.OnBox = [&](const THeadlessBox& box) {
    openWhileCalled = Headless.Boxes.size();
    EXPECT_EQ(box.Title, "Error");
  };
  const std::int32_t pressed =
      DoMessageBox(&window, 2, CRect{}, 1, 1, 4, 5, "Error and more", 6, "Camera not found", 99,
                   "Check\0hidden", 0, "ignored", piStop);
  EXPECT_EQ(pressed, 1);
  ASSERT_EQ(Headless.Boxes.size(), 1u);
  EXPECT_EQ(openWhileCalled, 1u);
  const THeadlessBox& box = Headless.Boxes[0];
  EXPECT_EQ(box.Owner, &window);
  EXPECT_EQ(box.Line1, "Camera");
  EXPECT_EQ(box.Line2, "Check");
  EXPECT_EQ(box.Line3, "");
  EXPECT_EQ(box.Icon, piStop);
  Headless.OnBox = nullptr;

  DoMessageBox(nullptr, 2, CRect{}, 1, 1, 4, 5, nullptr, -1, "x", 300,
               std::string(300, 'y').c_str(), 1, "z", piInfo32);
  EXPECT_EQ(Headless.Boxes[1].Title, "");
  EXPECT_EQ(Headless.Boxes[1].Line1, "");
  EXPECT_EQ(Headless.Boxes[1].Line2.size(), 255u);
  window.Close();
}

TEST_F(ToolkitHeadless, ModuleStartAndResources) {
  InitToolkit();  // again: the program starts many times in one process
  const auto module = reinterpret_cast<HINSTANCE>(0x400000);
  SetAppHandle(module);
  EXPECT_EQ(GetAppHandle(), module);
  const PPicture about = InitResIconNum(module, 1001);
  ASSERT_NE(about, nullptr);
  EXPECT_EQ(about->Kind, TPicture::Resource);
  EXPECT_EQ(about->Number, 1001);
  EXPECT_EQ(InitResIconNum(module, 1000), nullptr);
  EXPECT_NE(piInfo32, piStop);
  SetAppHandle(nullptr);
}
