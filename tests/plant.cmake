# tests: plant
