// The host's command lines that the installer package runs: the installation
// of the instance given by the package's properties, and its removal.
#pragma once

#include <string>

// "/Service" followed by the four instance switches, each one argument that
// the platform's command-line splitting gives back exactly, whatever quotes
// or backslashes the values hold.
std::wstring BuildInstallArguments(const std::wstring& port, const std::wstring& agent, const std::wstring& cmd,
                                   const std::wstring& num);

// "/unregserver" with the instance number, as one such argument.
std::wstring BuildRemovalArguments(const std::wstring& num);
