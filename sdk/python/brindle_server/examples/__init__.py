"""Example servers, each runnable as `python3 -m brindle_server.examples.NAME --help`."""
