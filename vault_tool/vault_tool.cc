// Any platform; narrow texts as the console shows them: code page 936 bytes on Windows (-fexec-charset=GBK), UTF-8 on
// Linux.
#include "vault_tool.h"

WidePath StripOnly(const WidePath& input) {
  if (!HasDisguiseSuffix(input)) return input + DisguiseSuffix;
  return input.substr(0, input.size() - DisguiseSuffixLength);
}

const ToolProfile VaultToolProfile = {
    "【Vorlune】\n"
    "请将 .mp4 / .txt / .xyz 文件拖拽到这里！\n"
    "提示: 拖入 .xyz 文件可以一键还原！",
    u"错误: 无法读取文件，请检查路径或确认文件未被占用。",
    u"处理成功！已生成: ",
    u"写入失败，请检查权限或空间。",
    false,
    StripOnly,
};
