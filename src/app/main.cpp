#include "app/RunBridge.h"

int main(int argc, char** argv) { return navorel::RunBridge(argc, argv); }
