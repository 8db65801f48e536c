# tests: Sparkplug B payloads and the spb_collect subscriber
qrn_add_test(sparkplug_test SOURCES sparkplug_test.cpp LIBS qrn_publish LABELS publish)
