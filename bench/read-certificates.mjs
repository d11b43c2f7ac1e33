// Times readCertificates against the real service reading nine certificates
// on two SoftHSM2 tokens through the Kestova bridge, whose attribute reads are
// slowed down as a token behind a slow link would be. Two ways are timed: the
// one GetCertInfo call, and the five-method read that an older Quintrel
// needs (forced by answering GetCertInfo as an older Quintrel does). No
// common name holds ";", which the five-method read cannot take. The bridge
// counts its attribute reads, so each way is shown against its floor: its
// reads per call times the delay.
//
//   tests/run-in-netns.sh node --experimental-websocket bench/read-certificates.mjs BUILD_DIR [DELAY_MS] [RUNS]
import { execFileSync, spawn } from "node:child_process";
import { copyFileSync, existsSync, mkdirSync, mkdtempSync, readFileSync, rmSync } from "node:fs";
import net from "node:net";
import { tmpdir } from "node:os";
import { join } from "node:path";
import { fileURLToPath } from "node:url";
import { connect } from "../clients/js/corvane.js";
import { readCertificates } from "../clients/js/quintrel.js";

const [build, delay = "20", runs = "5"] = process.argv.slice(2);
if (!build) {
  console.error("usage: read-certificates.mjs BUILD_DIR [DELAY_MS] [RUNS]");
  process.exit(2);
}
const source = fileURLToPath(new URL("../", import.meta.url));
const work = mkdtempSync(join(tmpdir(), "corvane-read-bench-"));

execFileSync(join(source, "scripts/provision-demo-token.sh"), [join(work, "tokens"),
  "Token A:alice,device,wang,rsa-cjk,ec-p256", "Token B:no-cn,serial-00,long,no-ku"], { stdio: "ignore" });
const service = join(work, "service");
mkdirSync(service);
copyFileSync(join(build, "server/corvane"), join(service, "corvane"));
execFileSync("chmod", ["+x", join(service, "corvane")]);
copyFileSync(join(build, "plugins/quintrel/Quintrel.so"), join(service, "Quintrel.so"));
copyFileSync(join(build, "bridge/libKestova.so"), join(service, "libKestova.so"));
const child = spawn(join(service, "corvane"), [], { stdio: "ignore", env: { ...process.env, XDG_RUNTIME_DIR: work,
  KESTOVA_BRIDGE_MODULE: "/usr/lib/softhsm/libsofthsm2.so", SOFTHSM2_CONF: join(work, "tokens/softhsm2.conf"),
  KESTOVA_BRIDGE_ATTRIBUTE_DELAY_MS: delay, KESTOVA_BRIDGE_ATTRIBUTE_LOG: join(work, "reads.log") } });
// The bridge's attribute reads so far.
const reads = () => (existsSync(join(work, "reads.log")) ? readFileSync(join(work, "reads.log"), "utf8").split("\n").length - 1 : 0);

try {
  for (let i = 0; ; ++i) {
    const open = await new Promise((resolve) => net.connect(1237, "127.0.0.1")
      .on("connect", function () { this.destroy(); resolve(true); }).on("error", () => resolve(false)));
    if (open) break;
    if (i === 100 || child.exitCode !== null) throw new Error("corvane did not start listening on 127.0.0.1:1237");
    await new Promise((resolve) => setTimeout(resolve, 50));
  }
  const connection = await connect();
  const olderQuintrel = {
    get module() { return connection.module; },
    load: (module) => connection.load(module),
    call: (method, ...rest) => (method === "GetCertInfo" ? Promise.resolve("[ GetCertInfo ] function success.")
      : connection.call(method, ...rest)),
  };
  console.log(`readCertificates, ${delay} ms per attribute read, ${runs} runs after one warm-up`);
  for (const [name, target] of [["five methods (older Quintrel)", olderQuintrel], ["GetCertInfo", connection]]) {
    await readCertificates(target);
    const times = [];
    let count = 0;
    const readsBefore = reads();
    for (let i = 0; i < Number(runs); ++i) {
      const start = performance.now();
      count = (await readCertificates(target)).length;
      times.push(performance.now() - start);
    }
    const perCall = (reads() - readsBefore) / Number(runs);
    times.sort((a, b) => a - b);
    const median = times[times.length >> 1];
    const floor = perCall * Number(delay);
    console.log(`  ${name.padEnd(30)} ${count} certificates  median ${median.toFixed(0)} ms` +
      `  min ${times[0].toFixed(0)} ms  max ${times.at(-1).toFixed(0)} ms  ${perCall} reads a call` +
      (floor > 0 ? `  ${(median / floor).toFixed(2)}x its floor of ${floor} ms` : ""));
  }
  connection.close();
} finally {
  child.kill();
  rmSync(work, { recursive: true, force: true });
}
