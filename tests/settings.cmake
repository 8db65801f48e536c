# tests: settings
qrn_add_test(settings_test SOURCES settings_test.cpp LIBS qrn_framework quorlin_settings jsoncpp_lib)
