# Every target of the project gets the same warning set; third-party headers are
# included as system headers so they do not count.
add_library(veltocam_warnings INTERFACE)
target_compile_options(veltocam_warnings INTERFACE -Wall -Wextra)
if(VELTOCAM_WERROR)
  target_compile_options(veltocam_warnings INTERFACE -Werror)
endif()

# Contract checks in the host platform (waits at DISPATCH_LEVEL, semaphore limits)
# abort in checked builds. Every build of this repository is checked unless asked.
option(VELTOCAM_CHECKED "Abort on kernel contract violations" ON)
if(VELTOCAM_CHECKED)
  target_compile_definitions(veltocam_warnings INTERFACE VELTOCAM_CHECKED=1)
endif()
