// What the camera information pane draws, in which font and where.
#include <gtest/gtest.h>

#include <string>

#include "headless.h"
#include "wizard/camera_info_pane.h"

namespace {

class Pane : public ::testing::Test {
 protected:
  void SetUp() override {
    InitToolkit();
    ASSERT_NE(HeadlessPeers(), nullptr);
  }

  static std::vector<THeadlessDraw> Texts(const std::vector<THeadlessDraw>& calls) {
    std::vector<THeadlessDraw> texts;
    for (const THeadlessDraw& call : calls) {
      if (call.Op == THeadlessDraw::Write) {
        texts.push_back(call);
      }
    }
    return texts;
  }

  static const THeadlessDraw* Find(const std::vector<THeadlessDraw>& calls,
                                   const std::string& text) {
    for (const THeadlessDraw& call : calls) {
      if (call.Op == THeadlessDraw::Write && call.Text == text) {
        return &call;
      }
    }
    return nullptr;
  }
};

TEST_F(Pane, InformationModeDrawsLabelsValuesAndSeparatorInOrder) {
  CCameraInfoPane pane;
  CRect rect;
  rect.Init(8, 8, 256, 148);
  pane.Init(rect);
  Str::CopyA(63, pane.Heading, 7, "Step 1:");
  Str::CopyA(63, pane.InstructionLine[0], 45, "Connect camera and click [Scan camera] button");
  Str::CopyA(31, pane.ValueLine[0], 9, "KAF-8300M");
  Str::CopyA(63, pane.InstructionLine[1], 11, "not drawn 2");
  const auto calls = HeadlessPeers()->Paint(&pane);

  ASSERT_GE(calls.size(), 5u);
  EXPECT_EQ(calls[0].Op, THeadlessDraw::Fill);
  EXPECT_EQ(calls[0].C, 256);
  EXPECT_EQ(calls[0].D, 148);
  EXPECT_EQ(calls[1].Op, THeadlessDraw::Pen);
  EXPECT_EQ(calls[1].Color, GetPGContext(7)->LineColor1);
  EXPECT_EQ(calls[2].Op, THeadlessDraw::Line);
  EXPECT_EQ(calls[2].A, 0);
  EXPECT_EQ(calls[2].B, 38);
  EXPECT_EQ(calls[2].C, 255);
  EXPECT_EQ(calls[2].D, 38);
  EXPECT_EQ(calls[3].Color, GetPGContext(7)->LineColor2);
  EXPECT_EQ(calls[4].B, 39);
  EXPECT_EQ(calls[4].D, 39);

  const auto texts = Texts(calls);
  const char* labels[] = {"Camera type:", "Camera ID:", "Filter positions:", "Filter wheel type:"};
  const int rows[] = {46, 70, 94, 118};
  for (int i = 0; i < 4; ++i) {
    const THeadlessDraw* label = Find(calls, labels[i]);
    ASSERT_NE(label, nullptr) << labels[i];
    EXPECT_EQ(label->B, rows[i]);
    EXPECT_EQ(label->A + GetTextW(label->FontUsed, static_cast<std::int32_t>(label->Text.size()),
                                  label->Text.c_str()),
              92);
    EXPECT_EQ(label->FontUsed, GetPGContext(7)->TextFont);
  }
  const THeadlessDraw* value = Find(calls, "KAF-8300M");
  ASSERT_NE(value, nullptr);
  EXPECT_EQ(value->A, 100);
  EXPECT_EQ(value->B, 46);
  EXPECT_EQ(value->FontUsed, CaptionFont);
  const THeadlessDraw* heading = Find(calls, "Step 1:");
  ASSERT_NE(heading, nullptr);
  EXPECT_EQ(heading->FontUsed, CaptionFont);
  const THeadlessDraw* instruction = Find(calls, "Connect camera and click [Scan camera] button");
  ASSERT_NE(instruction, nullptr);
  EXPECT_EQ(instruction->B, 20);
  EXPECT_EQ(instruction->FontUsed, GetPGContext(7)->TextFont);
  EXPECT_EQ(Find(calls, "not drawn 2"), nullptr);
}

TEST_F(Pane, MessageModeDrawsThreeLinesAndNoCameraInformation) {
  CCameraInfoPane pane;
  CRect rect;
  rect.Init(8, 8, 300, 148);
  pane.Init(rect);
  Str::CopyA(63, pane.InstructionLine[0], 25, "Camera update successful.");
  Str::CopyA(63, pane.InstructionLine[1], 40, "Changes will take effect after camera is");
  Str::CopyA(63, pane.InstructionLine[2], 39, "unplugged from power and plugged again.");
  Str::CopyA(31, pane.ValueLine[1], 5, "12345");
  const auto calls = HeadlessPeers()->Paint(&pane);
  EXPECT_EQ(Find(calls, "Camera ID:"), nullptr);
  EXPECT_EQ(Find(calls, "12345"), nullptr);
  const THeadlessDraw* line2 = Find(calls, "Changes will take effect after camera is");
  const THeadlessDraw* line3 = Find(calls, "unplugged from power and plugged again.");
  ASSERT_NE(line2, nullptr);
  ASSERT_NE(line3, nullptr);
  EXPECT_EQ(line2->B, 46);
  EXPECT_EQ(line3->B, 70);
  EXPECT_EQ(line3->FontUsed, CaptionFont);
  EXPECT_EQ(calls[2].C, 299);
}

TEST_F(Pane, LongestTextsAreDrawnWhole) {
  CCameraInfoPane pane;
  CRect rect;
  rect.Init(0, 0, 256, 148);
  pane.Init(rect);
  const std::string value(31, 'v');
  const std::string heading(63, 'h');
  Str::CopyA(31, pane.ValueLine[3], 40, std::string(40, 'v').c_str());
  Str::CopyA(63, pane.Heading, 70, std::string(70, 'h').c_str());
  const auto calls = HeadlessPeers()->Paint(&pane);
  EXPECT_NE(Find(calls, value), nullptr);
  EXPECT_NE(Find(calls, heading), nullptr);
}

TEST_F(Pane, LabelsEndAt92WhateverTheFont) {
  TGContext* context = GetPGContext(7);
  const TFont original = context->TextFont;
  static const TFontDesc wide{"Sans", 22, false};
  context->TextFont = &wide;
  CCameraInfoPane pane;
  context->TextFont = original;
  // The headless metric gives a 22-pixel character 13 pixels: "Camera ID:"
  // is 130 wide and starts at -38, left of the pane.
  const std::int32_t charWidth = wide.Size * HeadlessPeers()->CharWidthPercent / 100;
  ASSERT_EQ(charWidth, 13);
  const char* labels[] = {"Camera type:", "Camera ID:", "Filter positions:", "Filter wheel type:"};
  for (int i = 0; i < 4; ++i) {
    const auto length = static_cast<std::int32_t>(std::char_traits<char>::length(labels[i]));
    EXPECT_EQ(pane.LabelX[i], 92 - length * charWidth) << labels[i];
  }
  // Before the first scan: labels, and four empty values.
  for (const auto& line : pane.ValueLine) {
    EXPECT_EQ(line[0], '\0');
  }
}

}  // namespace
