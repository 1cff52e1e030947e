"""Reads OpenMetrics text on standard input with prometheus_client's parser (which refuses
anything the format does not allow) and prints one line per sample: type name labels value."""
import sys

from prometheus_client.openmetrics.parser import text_string_to_metric_families

for family in text_string_to_metric_families(sys.stdin.read()):
    for sample in family.samples:
        labels = ",".join(f"{k}={v}" for k, v in sorted(sample.labels.items()))
        print(f"{family.type} {sample.name} {labels} {sample.value:g}")
