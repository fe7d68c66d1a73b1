# EKISA code benchmark beside zlib, xz and zstd (host only).
add_executable(codec_bench ${CMAKE_CURRENT_LIST_DIR}/codec_bench.cpp)
target_link_libraries(codec_bench PRIVATE ekisa z lzma zstd)
esl_warnings(codec_bench)
