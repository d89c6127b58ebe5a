ostra_add_fuzzer(itunes_fuzz itunes_fuzz.cpp ${CMAKE_CURRENT_SOURCE_DIR}/corpus/itunes ostra_scan)
