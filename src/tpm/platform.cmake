# The TPM platform over the TSS and polkit parts, on the local kit.
add_library(bio_tpm STATIC tpm_platform.cpp)
target_include_directories(bio_tpm PUBLIC ${PROJECT_SOURCE_DIR}/src)
target_link_libraries(bio_tpm PUBLIC bio_local PRIVATE bio_keyd_tpm bio_tpm_polkit bio_crypto)
set_target_properties(bio_tpm PROPERTIES CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
