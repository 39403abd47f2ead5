# polkit's text agent, started where no agent serves the process (on the system bus, src/bus/).
add_library(bio_tpm_polkit STATIC
  ${CMAKE_CURRENT_LIST_DIR}/text_agent.cpp)
target_include_directories(bio_tpm_polkit PUBLIC ${PROJECT_SOURCE_DIR}/src)
target_link_libraries(bio_tpm_polkit PUBLIC bio_core bio_bus)
# Linked into the module library, which exports nothing but its init function.
set_target_properties(bio_tpm_polkit PROPERTIES CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
