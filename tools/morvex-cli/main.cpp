#include <cstdio>

int main()
{
    std::fputs("usage: morvex-cli info|convert ...\n", stderr);
    return 2;
}
