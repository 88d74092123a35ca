#!/usr/bin/env python3
"""Checks a Kubernetes indexed Job manifest for what the API server would
refuse and for what the shards need, then prints its container's shell
command (for the test to run with JOB_COMPLETION_INDEX set).

    check_indexed_job.py JOB.yaml
Exit status 1 with one line per problem on standard error."""
import re
import sys

import yaml

DNS_LABEL = re.compile(r"^[a-z0-9]([-a-z0-9]*[a-z0-9])?$")


def problems_of(job):
    found = []

    def need(condition, text):
        if not condition:
            found.append(text)
        return condition

    need(job.get("apiVersion") == "batch/v1", "apiVersion must be batch/v1")
    need(job.get("kind") == "Job", "kind must be Job")
    name = (job.get("metadata") or {}).get("name", "")
    need(isinstance(name, str) and len(name) <= 63 and DNS_LABEL.match(name), "metadata.name must be a DNS label")
    spec = job.get("spec") or {}
    need(spec.get("completionMode") == "Indexed", "spec.completionMode must be Indexed")
    completions = spec.get("completions")
    need(isinstance(completions, int) and completions >= 1, "an indexed Job needs spec.completions >= 1")
    parallelism = spec.get("parallelism", 1)
    need(isinstance(parallelism, int) and parallelism >= 1, "spec.parallelism must be a positive number")
    pod = (spec.get("template") or {}).get("spec") or {}
    restart = pod.get("restartPolicy")
    need(restart in ("Never", "OnFailure"), "a Job's pods restart Never or OnFailure")
    if "backoffLimitPerIndex" in spec:
        need(restart == "Never", "backoffLimitPerIndex needs restartPolicy Never")
    containers = pod.get("containers") or []
    if not need(isinstance(containers, list) and len(containers) == 1, "one container expected"):
        return found, None
    container = containers[0]
    need(DNS_LABEL.match(str(container.get("name", ""))), "the container needs a name (a DNS label)")
    need(isinstance(container.get("image"), str) and container["image"], "the container needs an image")
    volumes = {volume.get("name") for volume in pod.get("volumes") or []}
    for mount in container.get("volumeMounts") or []:
        need(mount.get("name") in volumes, "volumeMount %r names no volume" % mount.get("name"))
        need(str(mount.get("mountPath", "")).startswith("/"), "a mountPath is absolute")
    words = (container.get("command") or []) + (container.get("args") or [])
    if not need(words[:2] == ["sh", "-c"] and len(words) == 3, "the command is sh -c with one script"):
        return found, None
    script = words[2]
    need("$JOB_COMPLETION_INDEX" in script, "the script must use $JOB_COMPLETION_INDEX")
    shard = re.search(r'--shard "\$JOB_COMPLETION_INDEX/(\d+)"', script)
    if need(shard, "the script must pass --shard \"$JOB_COMPLETION_INDEX/N\""):
        need(int(shard.group(1)) == completions, "the shard count must equal spec.completions")
    need("--skip-complete" in script, "a retried pod must pass over complete outputs (--skip-complete)")
    return found, script


def main():
    with open(sys.argv[1], encoding="utf-8") as stream:
        documents = [document for document in yaml.safe_load_all(stream) if document is not None]
    if len(documents) != 1:
        sys.exit("expected one document, found %d" % len(documents))
    found, script = problems_of(documents[0])
    for problem in found:
        print(problem, file=sys.stderr)
    if found:
        sys.exit(1)
    print(script)


if __name__ == "__main__":
    main()
