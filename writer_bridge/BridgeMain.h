#pragma once

namespace zuvo::writer {

// The program: serve the word processor's bus name and open the files (handing them to the
// instance that serves it already), or print the files with --print.
int bridgeMain(int argc, char** argv);

}  // namespace zuvo::writer
