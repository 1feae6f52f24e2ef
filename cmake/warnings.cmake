# orbit_tone_warnings: the compiler warnings every target of ours builds with, as errors when
# ORBIT_TONE_WERROR is on. Included by the project and by the host tools of a cross build.
add_library(orbit_tone_warnings INTERFACE)
if(MSVC)
  target_compile_options(orbit_tone_warnings INTERFACE /W4 $<$<BOOL:${ORBIT_TONE_WERROR}>:/WX>)
else()
  target_compile_options(orbit_tone_warnings INTERFACE
    -Wall -Wextra -Wpedantic
    -Wshadow              # a local hiding a process-wide variable is a real risk here
    -Wconversion          # sample and size arithmetic must say where it narrows
    -Wsign-conversion
    -Wold-style-cast
    -Wnon-virtual-dtor
    -Woverloaded-virtual
    $<$<BOOL:${ORBIT_TONE_WERROR}>:-Werror>)
endif()
