// contentkit: writes and checks the client's content files (see cli.h).
#include "tools/contentkit/cli.h"

int main(int argc, char** argv) { return contentkit::runContentkit(argc, argv); }
