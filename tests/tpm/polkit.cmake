# polkit: the round trips timed against the real polkitd (the CI stage, scripts/bench
# --tpm), and the text agent's life against stand-in agent programs.
add_executable(bio_polkit_check ${CMAKE_CURRENT_LIST_DIR}/polkit_check.cpp)
target_link_libraries(bio_polkit_check PRIVATE bio_bus)

add_executable(tpm_polkit_tests ${CMAKE_CURRENT_LIST_DIR}/text_agent_test.cpp)
target_link_libraries(tpm_polkit_tests PRIVATE bio_tpm_polkit GTest::gtest_main)
gtest_discover_tests(tpm_polkit_tests PROPERTIES LABELS tpm DISCOVERY_MODE PRE_TEST)
