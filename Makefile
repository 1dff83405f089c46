# Shortcuts for the scripts under scripts/ (each installs what is missing,
# builds in its own directory and runs). Pass arguments with ARGS, e.g.
#   make demo ARGS="--seconds 10 --threads 8"
#   make bench ARGS="--benchmark_repetitions=3"
#   make fuzz ARGS=300
#   make deb ARGS=--ppc64
ARGS ?=

.PHONY: test demo bench fuzz test-ppc64 prometheus-it deb ci

test:
	bash scripts/test.sh $(ARGS)

demo:
	bash scripts/demo.sh $(ARGS)

bench:
	bash scripts/bench.sh $(ARGS)

fuzz:
	bash scripts/fuzz.sh $(ARGS)

test-ppc64:
	bash scripts/test-ppc64.sh $(ARGS)

prometheus-it:
	bash scripts/prometheus-it.sh $(ARGS)

deb:
	bash scripts/deb.sh $(ARGS)

ci:
	bash .ci/run
