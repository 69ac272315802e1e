// Any platform; the whole process is one run.
#include "image_tool.h"

int main(int argc, char** argv) { return RunDropped(ImageToolProfile, argc, argv); }
