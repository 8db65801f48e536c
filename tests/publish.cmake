# tests: the broker link against real and fake MQTT brokers
qrn_add_test(mqtt_link_test SOURCES mqtt_link_test.cpp LIBS qrn_mqtt_link LABELS publish threads)
