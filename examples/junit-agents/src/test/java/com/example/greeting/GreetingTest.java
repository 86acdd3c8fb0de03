package com.example.greeting;

import static net.bytebuddy.matcher.ElementMatchers.named;
import static org.junit.jupiter.api.Assertions.assertEquals;

import java.lang.instrument.Instrumentation;
import net.bytebuddy.agent.ByteBuddyAgent;
import net.bytebuddy.agent.builder.AgentBuilder;
import net.bytebuddy.implementation.FixedValue;
import org.junit.jupiter.api.Test;

class GreetingTest {
    @Test
    void aFinalMethodAnsweredByTheTest() {
        // The Instrumentation of the agent that junit-platform.properties declares; this never
        // attaches, and fails when no agent was started.
        Instrumentation inst = ByteBuddyAgent.getInstrumentation();
        new AgentBuilder.Default()
                .disableClassFormatChanges()
                .with(AgentBuilder.RedefinitionStrategy.RETRANSFORMATION)
                .type(named("com.example.greeting.Greeting"))
                .transform((builder, type, loader, module, domain) ->
                        builder.method(named("text")).intercept(FixedValue.value("Hello from the test")))
                .installOn(inst);

        assertEquals("Hello from the test", new Greeting().text("Ada"));
    }
}
