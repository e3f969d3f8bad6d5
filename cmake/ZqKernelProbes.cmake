# The kernel-object layer waits on file descriptors: eventfd for events and
# thread completion, pidfd for processes. Stop here, with a clear message,
# when the headers do not offer them, rather than failing at run time.
include(CheckSymbolExists)
check_symbol_exists(eventfd "sys/eventfd.h" ZQ_HAVE_EVENTFD)
check_symbol_exists(SYS_pidfd_open "sys/syscall.h" ZQ_HAVE_PIDFD_OPEN)
check_symbol_exists(P_PIDFD "sys/wait.h" ZQ_HAVE_P_PIDFD)
if(NOT ZQ_HAVE_EVENTFD)
  message(FATAL_ERROR "eventfd(2) is missing: the kernel-object layer needs Linux eventfd")
endif()
if(NOT ZQ_HAVE_PIDFD_OPEN)
  message(FATAL_ERROR "pidfd_open(2) is missing: process handles need Linux 5.3 or later headers")
endif()
