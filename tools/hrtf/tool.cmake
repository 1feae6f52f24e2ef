# The dataset generator: a reader and writer of OpenAL Soft's dataset files, and the tool that
# shortens the engine's own datasets. Included by tools/hrtf, and by tools/hrtf/host, which
# builds it for the build machine in a cross build.
add_library(hrtf_dataset STATIC ${CMAKE_CURRENT_LIST_DIR}/mhr_dataset.cpp)
target_include_directories(hrtf_dataset PUBLIC ${CMAKE_CURRENT_LIST_DIR}/../..)
target_link_libraries(hrtf_dataset PRIVATE orbit_tone_warnings)

add_executable(make-hrtf-dataset ${CMAKE_CURRENT_LIST_DIR}/make_hrtf_dataset.cpp)
target_link_libraries(make-hrtf-dataset PRIVATE hrtf_dataset orbit_tone_warnings)
