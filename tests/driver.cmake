# tests: driver
