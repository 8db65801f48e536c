# tests: plant
qrn_add_test(plant_server_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/plant_server_test.cpp
  LIBS plant_server qrn_certificates open62541::open62541
  LABELS plant)
