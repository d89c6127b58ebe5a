ostra_add_fuzzer(audio_header_fuzz audio_header_fuzz.cpp ${CMAKE_CURRENT_SOURCE_DIR}/corpus/audio_header ostra_audio)
