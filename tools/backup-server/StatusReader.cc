#include "backup-server/StatusReader.h"

#include <string>

#include "backup-server/Command.h"

namespace backup_server {

StatusReader::StatusReader(std::uint16_t port)
    : socket_(net::TcpSocket::connectTo("127.0.0.1", port)), stream_(socket_.get()) {}

StatusRecord StatusReader::next() {
    StatusRecord record;
    record.code = stream_.read32();
    record.running = stream_.read32();
    return record;
}

int statusCommand(CommandContext& context) {
    int count = context.arguments.empty() ? 1 : std::stoi(context.arguments.front());
    StatusReader reader(context.port);
    for (int i = 0; i < count; ++i) {
        StatusRecord record = reader.next();
        if (record.code != net::PROT_STATUS) {
            *context.out << "unexpected code 0x" << net::hexCode(record.code) << "\n";
            return 1;
        }
        *context.out << (record.running != 0 ? "backup running\n" : "no backup running\n")
                     << std::flush;
    }
    return 0;
}

}  // namespace backup_server
