#pragma once
// One client connection of the pipe server (a named-pipe instance on Windows,
// a Unix-domain socket connection elsewhere), both the output and the command
// transport of its session. Never splits.

#include <memory>

#include "transport/FileTransport.h"

class PipeTransport : public FileTransport {
public:
    explicit PipeTransport(std::unique_ptr<vek::io::Stream> connection)
        : FileTransport(std::move(connection), "the pipe client") {}
};
