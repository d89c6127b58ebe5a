ostra_add_fuzzer(tag_reader_fuzz tag_reader_fuzz.cpp ${CMAKE_CURRENT_SOURCE_DIR}/corpus/tag_reader ostra_metadata)
