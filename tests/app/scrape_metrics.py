#!/usr/bin/python3
"""Scrapes Korvane's endpoint as Prometheus would and parses it with Prometheus' own text
parser; prints the samples of korvane_messages_total, the status of /healthz and that of a
POST, as JSON. Usage: scrape_metrics.py PORT"""
import json, sys, urllib.request, urllib.error
from prometheus_client.parser import text_string_to_metric_families
base = "http://127.0.0.1:%s" % sys.argv[1]
text = urllib.request.urlopen(base + "/metrics").read().decode()
messages = {}
for family in text_string_to_metric_families(text):
    for sample in family.samples:
        if sample.name == "korvane_messages_total":
            messages[sample.labels["channel"] + " " + sample.labels["outcome"]] = sample.value
def status(request):
    try:
        return urllib.request.urlopen(request).status
    except urllib.error.HTTPError as error:
        return error.code
health = status(base + "/healthz")
post = status(urllib.request.Request(base + "/metrics", data=b"x", method="POST"))
print(json.dumps({"messages": messages, "health": health, "post": post}))
