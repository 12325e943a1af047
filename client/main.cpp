#include "client/startup.h"

int main() { velmar::runClient(); }
