package jvmtest;

import java.nio.file.Files;
import java.util.List;
import qv.vantrel.quorvane.Quorvane;
import qv.vantrel.quorvane.remapper.Remap;

/**
 * When libagent.log cannot be opened (here a directory holds its name) the library still
 * starts: one error line on the console names the file and the reason, and the rest of the
 * log goes to the console.
 */
public final class LogFileBlockedCase {
    private LogFileBlockedCase() {
    }

    public static void main(String[] args) {
        Check.run("log-file-blocked", args, a -> {
            Files.createDirectory(AgentLog.FILE);
            Recorder recorder = Recorder.rewriting();
            Remap.setTransformer(recorder);
            Check.that(Quorvane.addInclude("fixture/Greeter"), "addInclude returned false");

            Check.that(Quorvane.initNative(), "initNative returned false");

            Check.equal(ClassFiles.REWRITTEN, Fixtures.run("fixture.Greeter"), "fixture.Greeter.get()");
            Check.equal(1, recorder.calls("fixture/Greeter"), "transformer calls for fixture/Greeter");
            Check.that(Files.isDirectory(AgentLog.FILE), "%s is no longer a directory", AgentLog.FILE);
            try (var entries = Files.list(AgentLog.FILE)) {
                Check.equal(0L, entries.count(), "entries in the directory " + AgentLog.FILE);
            }

            List<AgentLog.Line> console = AgentLog.console();
            List<AgentLog.Line> errors = console.stream().filter(l -> l.level().equals("error")).toList();
            Check.equal(1, errors.size(), "error lines on the console " + errors);
            String error = errors.get(0).message();
            Check.that(error.contains("libagent.log") && error.contains("Is a directory"),
                    "the error line does not name the file and the reason: %s", error);
            AgentLog.once(console, "info", AgentLog.INITIALIZING);
            AgentLog.once(console, "info", "[Quorvane] Quorvane is initialized.");
            Check.equal(1L, AgentLog.countContaining(console, "Remapped: fixture/Greeter "), "Remapped lines on the console");
        });
    }
}
