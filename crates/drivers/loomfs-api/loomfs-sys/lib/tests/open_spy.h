// An open() stand-in for the tests of interrupted opens: the next
// `interruptions` opens of `path` fail with EINTR; every other open goes on to
// the system.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

struct open_spy {
  const char* path;       // the file whose opens are interrupted (NULL: none)
  unsigned interruptions;
  unsigned calls;         // opens of path seen, interrupted ones included
};

extern struct open_spy open_spy;

#ifdef __cplusplus
}
#endif
