qrn_add_test(module_test SOURCES module_test.cpp LIBS qrnhost jsoncpp_lib ${CMAKE_DL_LIBS}
  LABELS threads)
target_compile_definitions(module_test PRIVATE QRN_MODULE_PATH="$<TARGET_FILE:quorlin_module>")
add_dependencies(module_test quorlin_module)

add_test(NAME module_elf.needed_exports_and_constructors
  COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/check_module_elf.sh $<TARGET_FILE:quorlin_module>
          ${CMAKE_READELF} ${CMAKE_NM} "${QRN_SANITIZE}")

qrn_add_test(round_test SOURCES round_test.cpp
  LIBS quorlin_driver plant_server qrnhost jsoncpp_lib ${CMAKE_DL_LIBS} LABELS threads)
target_compile_definitions(round_test PRIVATE QRN_MODULE_PATH="$<TARGET_FILE:quorlin_module>")
