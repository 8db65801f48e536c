# tests: settings
qrn_add_test(settings_test SOURCES settings_test.cpp LIBS qrn_framework quorlin_settings jsoncpp_lib)
target_compile_definitions(settings_test PRIVATE QRN_README="${PROJECT_SOURCE_DIR}/README.md")
