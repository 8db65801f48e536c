# tests: framework
