#!/usr/bin/python3
"""Scrapes a Prometheus endpoint and prints what the text format's parser of
python3-prometheus-client makes of it, as JSON: each family's type and
samples. Exit 1 when the endpoint does not answer 200 or the text does not
parse; 77 when the parser is not installed."""
import json
import sys
import urllib.request

try:
    from prometheus_client.parser import text_string_to_metric_families
except ImportError:
    print("python3-prometheus-client is not installed", file=sys.stderr)
    sys.exit(77)


def main(url):
    try:
        with urllib.request.urlopen(url, timeout=5) as answer:
            if answer.status != 200:
                print(f"{url}: HTTP {answer.status}", file=sys.stderr)
                return 1
            text = answer.read().decode("utf-8")
    except OSError as error:
        print(f"{url}: {error}", file=sys.stderr)
        return 1
    families = {}
    try:
        for family in text_string_to_metric_families(text):
            families[family.name] = {
                "type": family.type,
                "help": family.documentation,
                "samples": [{"name": s.name, "labels": s.labels, "value": s.value} for s in family.samples],
            }
    except ValueError as error:
        print(f"{url}: not the text format: {error}", file=sys.stderr)
        return 1
    json.dump(families, sys.stdout)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
