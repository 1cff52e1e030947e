# The history graph: one paint of a full screen-wide graph against the same rectangles filled by
# hand, and AddSample from a poll thread against a bare locked ring write. Runs offscreen.
add_executable(bench_controls ${CMAKE_CURRENT_LIST_DIR}/controls/GraphBench.cpp)
target_link_libraries(bench_controls PRIVATE trellion_controls)
