qrn_add_test(module_test SOURCES module_test.cpp LIBS qrnhost jsoncpp_lib ${CMAKE_DL_LIBS}
  LABELS threads)
target_compile_definitions(module_test PRIVATE QRN_MODULE_PATH="$<TARGET_FILE:quorlin_module>")
add_dependencies(module_test quorlin_module)

# The module must also be built for the target: readelf's machine and ABI text.
set(QRN_ELF_MACHINE "")
set(QRN_ELF_ABI "")
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64)$")
  set(QRN_ELF_MACHINE "Advanced Micro Devices X86-64")
elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64)$")
  set(QRN_ELF_MACHINE "AArch64")
elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^arm")
  set(QRN_ELF_MACHINE "ARM")
  if(CMAKE_LIBRARY_ARCHITECTURE MATCHES "gnueabihf$")
    set(QRN_ELF_ABI "hard-float ABI")
  endif()
endif()
add_test(NAME module_elf.needed_exports_and_constructors
  COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/check_module_elf.sh $<TARGET_FILE:quorlin_module>
          ${CMAKE_READELF} ${CMAKE_NM} "${QRN_SANITIZE}" "${QRN_ELF_MACHINE}" "${QRN_ELF_ABI}")

qrn_add_test(round_test SOURCES round_test.cpp
  LIBS quorlin_driver plant_server qrnhost jsoncpp_lib ${CMAKE_DL_LIBS} LABELS threads)
target_compile_definitions(round_test PRIVATE QRN_MODULE_PATH="$<TARGET_FILE:quorlin_module>")

qrn_add_test(value_copy_test SOURCES value_copy_test.cpp LIBS quorlin_driver qrnhost)

qrn_add_test(security_test SOURCES security_test.cpp LIBS quorlin_driver jsoncpp_lib)
