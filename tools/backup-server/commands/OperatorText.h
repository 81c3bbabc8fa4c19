// Texts for the people who run backup-server: the agent's exceptions end in the C++
// function and source line that threw them (" (void f(int):42)"), which the agent's own log
// keeps but an operator cannot act on. (Sizes and times: store/OperatorValues.h.)
#pragma once

#include <cstdint>
#include <string>

#include "backup-server/store/OperatorValues.h"

namespace backup_server {

// text without every " (SIGNATURE:LINE)" part, where SIGNATURE is a function signature
// (it holds a parameter list) and LINE a number or "-".
std::string withoutSourceLocations(const std::string& text);

// A socket error as the agent's socket layer words it ("... (10061): <Windows text>") in
// the words of the system this server runs on ("... : Connection refused").
std::string inLocalWords(const std::string& socketError);
// Only the system's words of such an error ("Connection refused"); the whole text when it
// holds no error number.
std::string socketReason(const std::string& socketError);

}  // namespace backup_server
