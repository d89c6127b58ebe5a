ostra_add_fuzzer(m4a_hash_fuzz m4a_hash_fuzz.cpp ${CMAKE_CURRENT_SOURCE_DIR}/corpus/m4a_hash ostra_hash)
