// The man page and the bash completion, generated from the one command table, the options
// and the exit statuses (`backup-server --man-page`, `--bash-completion`), so they never
// drift from what the tool accepts. The build writes both and `cmake --install` installs
// them.
#pragma once

#include <boost/program_options/options_description.hpp>
#include <ostream>

namespace backup_server {

void printManPage(std::ostream& out, const boost::program_options::options_description& options);
void printBashCompletion(std::ostream& out,
                         const boost::program_options::options_description& options);

}  // namespace backup_server
