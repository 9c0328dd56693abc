// An ioctl() stand-in for the request tests: calls on spy_fd are recorded and
// answered from the fields below; calls on other descriptors go to the system.
// Chosen calls are interrupted first, on any descriptor.
#pragma once

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

struct ioctl_spy {
  int fd;                   // descriptor that is answered here
  unsigned calls;           // calls of type 'n' seen, on any descriptor
  unsigned long request;    // last request on fd
  void* arg;                // its argument
  unsigned char in[64];     // bytes the caller passed in (write direction)
  unsigned char reply[64];  // bytes written back (read direction)
  int result;               // returned when error is 0
  int error;                // errno of a refused request
  // The next `interruptions` calls of request `interrupted`, on any
  // descriptor, fail with EINTR before they go on.
  unsigned long interrupted;
  unsigned interruptions;
};

extern struct ioctl_spy ioctl_spy;

#ifdef __cplusplus
}
#endif
