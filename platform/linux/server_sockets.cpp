// Whether the sound servers still listen, on Linux: PipeWire's and PulseAudio's
// sockets, found where their clients look for them, and tried with a connection
// that says nothing. A server that is gone leaves its socket refusing (or
// removed); one that is frozen still has the system accept for it.
#include "platform/openal/output_layout.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

namespace sound {
namespace {

std::string Environment(const char* name)
{
    const char* value = std::getenv(name);
    return value ? value : "";
}

// PipeWire's socket: PIPEWIRE_REMOTE, a path or a name in its runtime folder.
std::string PipeWireSocket()
{
    std::string remote = Environment("PIPEWIRE_REMOTE");
    if (remote.empty())
        remote = "pipewire-0";
    if (remote.front() == '/')
        return remote;
    std::string folder = Environment("PIPEWIRE_RUNTIME_DIR");
    if (folder.empty())
        folder = Environment("XDG_RUNTIME_DIR");
    return folder.empty() ? "" : folder + "/" + remote;
}

// PulseAudio's socket (pipewire-pulse's too): the first unix one that
// PULSE_SERVER names, or the one in the runtime folder. A server elsewhere on
// the network is not looked at.
std::string PulseSocket()
{
    const std::string servers = Environment("PULSE_SERVER");
    if (!servers.empty()) {
        std::string_view first(servers);
        first = first.substr(0, first.find(' '));
        if (first.starts_with("unix:"))
            first.remove_prefix(5);
        return first.starts_with('/') ? std::string(first) : "";
    }
    if (const std::string runtime = Environment("PULSE_RUNTIME_PATH"); !runtime.empty())
        return runtime + "/native";
    const std::string folder = Environment("XDG_RUNTIME_DIR");
    return folder.empty() ? "" : folder + "/pulse/native";
}

// Whether something listens on the socket at path. The connection is made
// without waiting, and closed at once.
bool Listens(const std::string& path)
{
    sockaddr_un address{};
    if (path.size() >= sizeof address.sun_path)
        return false;
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return true; // nothing to try with: not a sign of the server
    const int connected = connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    const int error = errno;
    close(fd);
    // A full queue of waiting connections (EAGAIN) belongs to a server that is there.
    return connected == 0 || error == EAGAIN || error == EINPROGRESS;
}

} // namespace

OutputServers ListeningOutputServers()
{
    OutputServers servers;
    for (const std::string& socket : {PipeWireSocket(), PulseSocket()}) {
        if (!socket.empty() && Listens(socket))
            servers.sockets.push_back(socket);
    }
    return servers;
}

bool StillListening(const OutputServers& servers)
{
    for (const std::string& socket : servers.sockets) {
        if (!Listens(socket))
            return false;
    }
    return true;
}

} // namespace sound
