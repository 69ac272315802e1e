// Any platform; narrow texts as the console shows them: code page 936 bytes on Windows (-fexec-charset=GBK), UTF-8 on
// Linux.
#include "image_tool.h"

WidePath RestoreAsPng(const WidePath& input) {
  if (!HasDisguiseSuffix(input)) return input + DisguiseSuffix;
  static constexpr PathUnit png[] = {'.', 'p', 'n', 'g', 0};
  return input.substr(0, input.size() - DisguiseSuffixLength) + png;
}

const ToolProfile ImageToolProfile = {
    "请将文件拖拽到这个 EXE 上运行！\n"
    "提示: 拖入 .png 会生成 .xyz; 拖入 .xyz 会还原 .png",
    u"错误: 无法打开文件。请确认文件存在且未被占用。",
    u"转换成功！已生成: ",
    u"写入失败: ",
    true,
    RestoreAsPng,
};
