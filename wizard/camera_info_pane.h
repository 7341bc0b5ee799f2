// The custom-drawn pane above the wizard buttons: page heading, instruction
// line, an etched separator, and either the four camera values with their
// labels or two more instruction lines.
#pragma once

#include <cstdint>

#include "toolkit.h"

constexpr std::int32_t PaneTextCapacity = 63;
constexpr std::int32_t ValueTextCapacity = 31;
constexpr std::int32_t LabelRight = 92;
constexpr std::int32_t ValueX = 100;
constexpr std::int32_t PaneRows[4] = {46, 70, 94, 118};

class CCameraInfoPane : public CView {
 public:
  CCameraInfoPane();
  void PaintView(CDeviceContext& dc) override;

  TGContext* GraphicsContext;
  char Heading[PaneTextCapacity + 1];
  // Lines 1 to 3 at index 0 to 2. A non-empty line 3 turns the pane into a
  // message pane.
  char InstructionLine[3][PaneTextCapacity + 1];
  // 1 camera type, 2 camera ID, 3 filter positions, 4 filter-wheel type.
  char ValueLine[4][ValueTextCapacity + 1];
  std::int32_t LabelX[4];
};
