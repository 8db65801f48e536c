# tests: the broker link against real and fake MQTT brokers
qrn_add_test(mqtt_link_test SOURCES mqtt_link_test.cpp LIBS qrn_mqtt_link LABELS publish threads)

# tests: Sparkplug B payloads and the spb_collect subscriber
qrn_add_test(sparkplug_test SOURCES sparkplug_test.cpp LIBS qrn_publish LABELS publish)

# spb_collect against a real broker.
find_package(Python3 COMPONENTS Interpreter REQUIRED)
foreach(case prints_messages_and_rebuilds_records verify_counts_gaps_duplicates_and_reordering)
  add_test(NAME SpbCollect.${case}
    COMMAND Python3::Interpreter ${CMAKE_CURRENT_LIST_DIR}/spb_collect_test.py
            $<TARGET_FILE:spb_collect> "${QRN_MOSQUITTO}" "${QRN_MOSQUITTO_PUB}" ${case})
  set_tests_properties(SpbCollect.${case} PROPERTIES LABELS publish TIMEOUT 120
    ENVIRONMENT "${QRN_TEST_ENV}" SKIP_RETURN_CODE 77)
endforeach()

# tests: a device's spool cursor
qrn_add_test(spool_cursor_test SOURCES spool_cursor_test.cpp LIBS qrn_spool_cursor LABELS publish)
