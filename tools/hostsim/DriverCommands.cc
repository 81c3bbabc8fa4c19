#include "Commands.h"

std::vector<Command> driverCommands() {
    return {};
}
