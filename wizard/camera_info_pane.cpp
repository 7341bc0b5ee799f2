#include "wizard/camera_info_pane.h"

#include "app/texts.h"

namespace {

struct TLabel {
  const char* Text;
  std::int32_t Length;
};

const TLabel Labels[4] = {
    {"Camera type:", Len("Camera type:")},
    {"Camera ID:", Len("Camera ID:")},
    {"Filter positions:", Len("Filter positions:")},
    {"Filter wheel type:", Len("Filter wheel type:")},
};

}  // namespace

CCameraInfoPane::CCameraInfoPane() : GraphicsContext(GetPGContext(7)) {
  const TFont font = GraphicsContext != nullptr ? GraphicsContext->TextFont : nullptr;
  for (int i = 0; i < 4; ++i) {
    LabelX[i] = LabelRight - GetTextW(font, Labels[i].Length, Labels[i].Text);
    ValueLine[i][0] = '\0';
  }
  Heading[0] = '\0';
  for (auto& line : InstructionLine) {
    line[0] = '\0';
  }
}

void CCameraInfoPane::PaintView(CDeviceContext& dc) {
  const std::int32_t width = Rect.w;
  dc.FillArea(0, 0, width, Rect.h);
  if (GraphicsContext != nullptr) {
    dc.SetPenColor(GraphicsContext->LineColor1);
    dc.DrawLine(0, 38, width - 1, 38);
    dc.SetPenColor(GraphicsContext->LineColor2);
    dc.DrawLine(0, 39, width - 1, 39);
  }
  dc.WriteText(0, 20, PaneTextCapacity, InstructionLine[0]);
  const bool messageMode = InstructionLine[2][0] != '\0';
  if (!messageMode) {
    for (int i = 0; i < 4; ++i) {
      dc.WriteText(LabelX[i], PaneRows[i], Labels[i].Length, Labels[i].Text);
    }
  }
  dc.SelectFont(CaptionFont);
  dc.WriteText(0, 0, PaneTextCapacity, Heading);
  if (!messageMode) {
    for (int i = 0; i < 4; ++i) {
      dc.WriteText(ValueX, PaneRows[i], ValueTextCapacity, ValueLine[i]);
    }
  } else {
    dc.WriteText(0, 46, PaneTextCapacity, InstructionLine[1]);
    dc.WriteText(0, 70, PaneTextCapacity, InstructionLine[2]);
  }
}
