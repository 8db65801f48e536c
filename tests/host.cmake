# tests: host runner, record decoder and plant simulator
qrn_add_test(host_config_test SOURCES host_config_test.cpp LIBS qrn_host_config LABELS host)
qrn_add_test(readme_tables_test SOURCES readme_tables_test.cpp LIBS qrn_host_options qrn_sparkplug_settings
  quorlin_settings LABELS host)
target_compile_definitions(readme_tables_test PRIVATE QRN_README="${PROJECT_SOURCE_DIR}/README.md")
qrn_add_test(quorlin_tools_test SOURCES quorlin_tools_test.cpp LIBS quorlin_cli_lib quorlin_driver
  qrn_history LABELS host)
qrn_add_test(history_test SOURCES history_test.cpp LIBS qrn_history LABELS host)
qrn_add_test(host_live_view_test SOURCES host_live_view_test.cpp LIBS qrn_http_view qrn_cpp_httplib
  LABELS host threads)

# Whole programs on loopback: simulator, qrn-host with the real module, decoder,
# controller check against the plant program.
find_package(Python3 COMPONENTS Interpreter REQUIRED)
foreach(case
    two_devices_hand_over_their_own_records
    twenty_devices_share_one_simulator
    history_restores_last_record_before_first_new_round
    signals_stop_host_and_simulator_cleanly
    rounds_zero_sets_up_devices_and_exits
    simulated_plant_is_plausible_and_moves
    decode_prints_every_point_aligned_and_as_json
    decode_refuses_what_is_not_a_record
    bad_input_is_reported_with_its_exit_status
    simulator_reports_a_port_in_use
    secure_simulator_serves_only_a_secure_device
    check_connects_securely_to_a_secure_plant
    host_provides_host_and_json_symbols_to_the_module
    second_host_on_a_history_is_refused_while_readers_read
    decode_reads_a_history_it_cannot_write
    full_disk_loses_records_not_the_host
    kill_in_a_group_leaves_a_consistent_prefix
    stored_records_of_wrong_size_or_device_are_not_restored
    kept_devices_start_on_a_history_without_reports
    check_reports_each_injected_fault
    check_against_the_simulator_is_the_summary_alone
    check_reports_refused_connections_and_usage_errors
    check_bounds_its_suggestions_among_lookalike_ids
    live_view_serves_decoded_records_and_device_states
    live_view_without_history_and_on_a_taken_port
    live_view_bounds_idle_connections_and_foreign_hosts
    browser_shows_served_values_and_filters
    round_reports_show_point_quality_and_device_health

    reload_adds_removes_changes_and_refuses_an_invalid_file
    retention_deletes_old_records_in_batches_while_sampling
    export_writes_csv_and_json_lines_as_decode_reads
    library_lines_follow_the_log_level_without_escapes
    journal_lines_carry_their_priority
    packages_carry_the_service_and_their_own_open62541
    sparkplug_publishes_and_replays_after_an_outage_and_kill
    sparkplug_at_qos_1_replays_after_an_outage_and_kill
    sparkplug_publishes_two_hundred_devices_in_order
    sparkplug_spools_while_the_primary_host_is_offline_and_rebirths
    sparkplug_conforms_as_an_independent_codec_reads_it
    retention_keeps_unpublished_records_unless_the_size_limit_forces_it)
  add_test(NAME HostEndToEnd.${case}
    COMMAND Python3::Interpreter ${CMAKE_CURRENT_LIST_DIR}/host_e2e_test.py
            --quorlin $<TARGET_FILE:quorlin> --host $<TARGET_FILE:qrn-host>
            --plugin $<TARGET_FILE:quorlin_module> --not-a-plugin $<TARGET_FILE:qrnhost>
            --readelf ${CMAKE_READELF} --plant $<TARGET_FILE:qrn-plant>
            --spb-collect $<TARGET_FILE:spb_collect>
            --artifacts ${CMAKE_BINARY_DIR}
            ${case})
  # 77: a case that cannot run here (the browser one without a browser).
  set_tests_properties(HostEndToEnd.${case} PROPERTIES LABELS host TIMEOUT 300
    ENVIRONMENT "${QRN_TEST_ENV}" SKIP_RETURN_CODE 77)
endforeach()
# The cases that run devices' sampling threads inside qrn-host, and those whose
# HTTP requests read what the devices hand over, also run in the
# ThreadSanitizer pass.
foreach(case two_devices_hand_over_their_own_records
    history_restores_last_record_before_first_new_round
    kept_devices_start_on_a_history_without_reports
    kill_in_a_group_leaves_a_consistent_prefix
    signals_stop_host_and_simulator_cleanly
    rounds_zero_sets_up_devices_and_exits
    live_view_serves_decoded_records_and_device_states
    live_view_bounds_idle_connections_and_foreign_hosts
    round_reports_show_point_quality_and_device_health
    browser_shows_served_values_and_filters

    reload_adds_removes_changes_and_refuses_an_invalid_file
    retention_deletes_old_records_in_batches_while_sampling
    journal_lines_carry_their_priority
    sparkplug_publishes_and_replays_after_an_outage_and_kill
    sparkplug_spools_while_the_primary_host_is_offline_and_rebirths)
  set_tests_properties(HostEndToEnd.${case} PROPERTIES LABELS "host;threads")
endforeach()
