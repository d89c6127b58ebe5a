ostra_add_fuzzer(demuxer_limits_fuzz demuxer_limits_fuzz.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/corpus/demuxer_limits ostra_bass)
