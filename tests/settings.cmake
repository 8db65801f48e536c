# tests: settings
