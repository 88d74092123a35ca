// morvex-render: the drawing of `morvex-cli render`, a program of its own so
// that the converter's other commands never load the Qt and OpenGL
// libraries. morvex-cli becomes this program (exec) for "render" and for
// "help render", with the arguments that follow the command.

#include "render_command.h"

#include <string>
#include <vector>

int main(int argc, char** argv)
{
    return morvex::cli::runRender(std::vector<std::string>(argv + 1, argv + argc));
}
