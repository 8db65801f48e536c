qrn_add_test(framework_test SOURCES framework_test.cpp
  LIBS qrn_framework qrnhost LABELS threads)
target_include_directories(framework_test PRIVATE ${PROJECT_SOURCE_DIR}/record)
