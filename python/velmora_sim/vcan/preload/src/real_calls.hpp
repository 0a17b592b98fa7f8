#pragma once
// The system's own versions of the calls this library wraps, found with
// dlsym(RTLD_NEXT). Everything the library does itself goes through these,
// never through its own wrappers.

#include <sys/socket.h>

namespace vcan::real {

int socket(int domain, int type, int protocol);
int bind(int fd, const sockaddr* addr, socklen_t len);
int setsockopt(int fd, int level, int name, const void* value, socklen_t len);
int getsockopt(int fd, int level, int name, void* value, socklen_t* len);
int close(int fd);
int dup(int fd);
int dup2(int fd, int fd2);
int dup3(int fd, int fd2, int flags);
unsigned if_nametoindex(const char* name);
char* if_indextoname(unsigned index, char* name);
int ioctl(int fd, unsigned long request, void* arg);

}  // namespace vcan::real
