// mhost: a stand-in host program that loads plug-in modules, builds and
// edits scenes, cooks them and shows what comes out.
#include "cli/command_line.hpp"

int main(int argc, char** argv) {
    return mhost::runCommandLine(argc, argv);
}
