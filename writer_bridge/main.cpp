// ZuvoWriterBridge [FILE...] | --print FILE...
#include "writer_bridge/BridgeMain.h"

int main(int argc, char** argv) { return zuvo::writer::bridgeMain(argc, argv); }
