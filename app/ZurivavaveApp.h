// The application object: builds the main dialog with the first
// command-line argument, runs it modally and lets the process end with it.
#pragma once

#include "framework/App.h"

#include <string>

class CZurivavaveApp : public CWinApp {
public:
    BOOL InitInstance() override;
};

// The first argument after the program's name as the C runtime splits a
// command line (quotes removed, spaces inside quotes kept); empty when there
// is none. Further arguments are ignored.
std::string FirstCommandLineArgument(const char* commandLine);
