// Draws the count label (170 x 57, white bold 32-pixel "宋体", right-aligned
// on black) with the given text into a bitmap file, with the window's own label
// drawing: what the station's window must show there for that count.
//   win32_label_probe <text> <output.bmp>
#include "ModelPainter.h"
#include "Pictures.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        return 2;
    }
    Widget label(WidgetKind::Label, "lbCount", WidgetRect{0, 0, 170, 57}, 0, true);
    label.setFont(WidgetFont{FontFamily::SimSun, 32, true});
    label.setAlignment(TextAlign::Right);
    label.setShrinkToFit(true);
    label.setText(argv[1]);
    PictureSet pictures(GetModuleHandleW(nullptr));
    ModelPainter painter(pictures);
    BackBuffer buffer(170, 57);
    painter.paintLabel(buffer.dc(), label);
    return buffer.saveBmp(wideText(argv[2])) ? 0 : 1;
}
