ostra_add_fuzzer(mp3_hash_fuzz mp3_hash_fuzz.cpp ${CMAKE_CURRENT_SOURCE_DIR}/corpus/mp3_hash ostra_hash)
