#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""What can be checked of deploy/ without a container runtime or a cluster: the Kubernetes
manifests parse and agree with each other, the database's URI and password come from a Secret
and are on no command line in clear, and the program accepts the arguments that the
Containerfile and the Deployment give it (the Secret's URI standing for the test's PostgreSQL)
and answers the probes they name.
Usage: pg-server.sh run check-deploy.py ZUNO-LOOKUPD DEPLOY-DIR PACKAGED-PROGRAM-PATH"""
import json, os, re, signal, subprocess, sys, urllib.error, urllib.request
from pathlib import Path

import yaml

program, deploy, packaged = sys.argv[1], Path(sys.argv[2]), sys.argv[3]
failures = []


def check(ok, what):
    if not ok:
        failures.append(what)
        print("FAIL:", what, file=sys.stderr)


def serve(arguments, paths, environment={}):
    """Runs the program with these arguments, $(NAME) taken from the environment as Kubernetes
    does, on a free port, and GETs each path."""
    listen = arguments.index("--listen")
    arguments = arguments[:listen + 1] + ["127.0.0.1:0"] + arguments[listen + 2:]
    arguments = [re.sub(r"\$\((\w+)\)", lambda name: environment[name.group(1)], argument)
                 for argument in arguments]
    process = subprocess.Popen([program] + arguments, stderr=subprocess.PIPE, text=True,
                               env=os.environ | environment)
    address = re.search(r"listening on (http://\S+/)", process.stderr.readline())
    check(address, f"{arguments} does not start the program")
    for path in paths if address else []:
        try:
            with urllib.request.urlopen(address.group(1) + path.lstrip("/"), timeout=5) as reply:
                check(reply.status == 200, f"{path} answers {reply.status}")
        except urllib.error.HTTPError as error:
            check(False, f"{path} answers {error.code}")
    process.send_signal(signal.SIGTERM)
    check(process.wait(timeout=10) == 0, f"{arguments}: no clean stop on SIGTERM")


# The Containerfile starts the packaged program with arguments it accepts.
lines = (deploy / "Containerfile").read_text().splitlines()
instruction = {line.split()[0]: line.split(None, 1)[1] for line in lines if re.match(r"[A-Z]+ ", line)}
check(json.loads(instruction["ENTRYPOINT"]) == [packaged], "the image does not run " + packaged)
serve(json.loads(instruction["CMD"]), ["/healthz"])

# The manifests: every one listed, one app throughout, probes and ports that the program serves.
manifests = {path.name: yaml.safe_load(path.read_text())
             for path in (deploy / "kubernetes").glob("*.yaml")}
by_kind = {manifest["kind"]: manifest for manifest in manifests.values()}
check(sorted(manifests["kustomization.yaml"]["resources"])
      == sorted(name for name in manifests if name != "kustomization.yaml"),
      "kustomization.yaml does not list every manifest")
deployment = by_kind["Deployment"]
labels = deployment["spec"]["template"]["metadata"]["labels"]
for kind, selector in [("Deployment", deployment["spec"]["selector"]["matchLabels"]),
                       ("Service", by_kind["Service"]["spec"]["selector"]),
                       ("PodDisruptionBudget", by_kind["PodDisruptionBudget"]["spec"]["selector"]["matchLabels"])]:
    check(selector.items() <= labels.items(), f"the {kind} does not select the pods")
check(by_kind["HorizontalPodAutoscaler"]["spec"]["scaleTargetRef"]["name"] == deployment["metadata"]["name"],
      "the autoscaler scales something else")
pod = deployment["spec"]["template"]["spec"]
container = pod["containers"][0]
args = container["args"]
port = container["ports"][0]
check(args[args.index("--listen") + 1].endswith(f":{port['containerPort']}"), "--listen is not the container port")
check(by_kind["Service"]["spec"]["ports"][0]["targetPort"] == port["name"], "the Service targets another port")
probes = [container[probe]["httpGet"] for probe in ("readinessProbe", "livenessProbe")]
check(all(probe["port"] == port["name"] for probe in probes), "a probe asks another port")
check([probe["path"] for probe in probes] == ["/readyz", "/healthz"], "the probes ask the wrong paths")
pre_stop = int(container["lifecycle"]["preStop"]["exec"]["command"][-1])
check(pod["terminationGracePeriodSeconds"] > pre_stop + int(args[args.index("--drain-timeout") + 1]),
      "the grace period ends before the drain can")

# The database: its URI through a variable from the Secret, the password through libpq's own.
env = {variable["name"]: variable for variable in container.get("env", [])}
check(not any("://" in argument for argument in args)
      and not any("://" in variable.get("value", "") for variable in env.values()),
      "a database URI is in the pod template in clear")
database = args[args.index("--database") + 1] if "--database" in args else ""
uri_variable = re.fullmatch(r"\$\((\w+)\)", database)
check(uri_variable, f"--database is {database!r}, not a variable from the Secret")
secrets = {name: env.get(name, {}).get("valueFrom", {}).get("secretKeyRef", {})
           for name in ([uri_variable.group(1)] if uri_variable else []) + ["PGPASSWORD"]}
check(all(secrets.values()), f"not from a Secret: {[name for name, ref in secrets.items() if not ref]}")
secret_names = {ref.get("name") for ref in secrets.values()}
check(len(secret_names) == 1, f"the URI and the password come from different Secrets: {secret_names}")
# The operator makes the Secret with the command the README gives, with the keys read here.
readme = (deploy.parent / "README.md").read_text()
for name, ref in secrets.items():
    check(f"kubectl create secret generic {ref.get('name')}" in readme
          and re.search(rf"--from-\w+={ref.get('key')}=", readme),
          f"the README does not make the Secret {ref.get('name')} with the key {ref.get('key')}")
# The Secret's URI stands for this test's server; trust needs no password, so any will do.
test_environment = {"PGPASSWORD": "unused"}
if uri_variable:
    test_environment[uri_variable.group(1)] = os.environ["ZUNO_TEST_DATABASE"]
serve(args, [probe["path"] for probe in probes] + ["/metrics"], test_environment)

print(f"{len(failures)} failed" if failures else "deploy: all checks passed")
sys.exit(1 if failures else 0)
