// Writes corvane.global.js, the classic-script form of the modules for pages
// that cannot load modules (file:// in Chromium): one global, Corvane,
// bundled by esbuild (pinned in package-lock.json; `npm ci` here first).
//
//   npm run build:global
import { buildSync } from "esbuild";
import { writeFileSync } from "node:fs";
import { fileURLToPath } from "node:url";

const directory = fileURLToPath(new URL(".", import.meta.url));

export function globalScript() {
  const result = buildSync({
    stdin: {
      contents: 'export * from "./corvane.js";\nexport * from "./quintrel.js";\n',
      resolveDir: directory,
      sourcefile: "corvane.global.entry.js",
    },
    absWorkingDir: directory, // file names in the output are relative to it
    bundle: true,
    format: "iife",
    globalName: "Corvane",
    target: "es2022",
    charset: "utf8",
    banner: { js: "// Generated from corvane.js and quintrel.js by make-global.mjs (npm run build:global); edit those." },
    write: false,
    logLevel: "silent",
  });
  return result.outputFiles[0].text;
}

if (process.argv[1] === fileURLToPath(import.meta.url)) {
  writeFileSync(new URL("corvane.global.js", import.meta.url), globalScript());
}
