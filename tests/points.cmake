# tests: points
