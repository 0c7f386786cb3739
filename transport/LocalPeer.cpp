#include "transport/LocalPeer.h"

#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <cstdlib>
#include <memory>

namespace {

using Query = int (*)(int, sockaddr *, socklen_t *);

bool readAddress(Query query, int descriptor, sockaddr_in *address)
{
    sockaddr_storage storage{};
    socklen_t size = sizeof storage;
    if (query(descriptor, reinterpret_cast<sockaddr *>(&storage), &size) != 0 || storage.ss_family != AF_INET)
        return false;
    *address = *reinterpret_cast<const sockaddr_in *>(&storage);
    return true;
}

bool sameAddress(const sockaddr_in &a, const sockaddr_in &b)
{
    return a.sin_port == b.sin_port && a.sin_addr.s_addr == b.sin_addr.s_addr;
}

// The connection's other end: its local address is our peer, its peer is us.
bool isOtherEnd(int descriptor, const sockaddr_in &here, const sockaddr_in &there)
{
    struct stat status{};
    if (fstat(descriptor, &status) != 0 || !S_ISSOCK(status.st_mode))
        return false;
    sockaddr_in local{};
    sockaddr_in peer{};
    return readAddress(getsockname, descriptor, &local) && sameAddress(local, there)
           && readAddress(getpeername, descriptor, &peer) && sameAddress(peer, here);
}

struct DirectoryCloser
{
    void operator()(DIR *directory) const { closedir(directory); }
};

} // namespace

bool LocalPeer::openedByThisProcess(qintptr acceptedDescriptor)
{
    const int accepted = int(acceptedDescriptor);
    sockaddr_in here{};
    sockaddr_in there{};
    if (!readAddress(getsockname, accepted, &here) || !readAddress(getpeername, accepted, &there))
        return false;
    const std::unique_ptr<DIR, DirectoryCloser> descriptors(opendir("/proc/self/fd"));
    if (!descriptors)
        return false;
    const int listing = dirfd(descriptors.get());
    while (const dirent *entry = readdir(descriptors.get())) {
        char *end = nullptr;
        const long descriptor = std::strtol(entry->d_name, &end, 10);
        if (end == entry->d_name || *end != '\0' || descriptor == accepted || descriptor == listing)
            continue;
        if (isOtherEnd(int(descriptor), here, there))
            return true;
    }
    return false;
}
