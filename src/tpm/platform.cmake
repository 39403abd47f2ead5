# The TPM platform: the key service's client, on the local kit and the polkit parts.
add_library(bio_tpm STATIC tpm_platform.cpp key_service.cpp)
target_include_directories(bio_tpm PUBLIC ${PROJECT_SOURCE_DIR}/src)
target_link_libraries(bio_tpm PUBLIC bio_local PRIVATE bio_tpm_polkit bio_crypto)
set_target_properties(bio_tpm PROPERTIES CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
