#include "release_tool.h"

#include <cstdio>

int main(int argc, char **argv)
{
    std::vector<std::string> arguments(argv + 1, argv + argc);
    ToolOutput output;
    int code = RunReleaseTool(arguments, &output);
    std::fputs(output.out.c_str(), stdout);
    std::fputs(output.err.c_str(), stderr);
    return code;
}
